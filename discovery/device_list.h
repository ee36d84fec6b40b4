// The camera list's records and the merge of scan results into it. The list
// belongs to whoever shows it (the window's view, teliox-cli); row changes go
// to a sink, which the window posts to its UI thread and the CLI prints.
#pragma once

#include "discovery/device.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// Receives the row changes of the merge, in order, while the merge holds the
// device lock. A sink must not call back into the list and must not block on
// the thread that shows the rows (post, don't send).
class IDeviceListSink {
public:
    virtual ~IDeviceListSink() = default;
    virtual void InsertRow(int row, const std::string& nameText) = 0;
    virtual void SetItemText(int row, int column, const std::string& text) = 0;
    virtual void SetItemImage(int row, int column, int image) = 0;
    virtual void DeleteAllRows() = 0;
    // A cell's own tooltip (plain text; empty removes it). Sinks without
    // tooltips ignore it.
    virtual void SetItemToolTip(int /*row*/, int /*column*/, const std::string& /*text*/) {}
};

class CDeviceList {
public:
    explicit CDeviceList(IDeviceListSink* sink = nullptr);
    ~CDeviceList();  // deletes every record
    CDeviceList(const CDeviceList&) = delete;
    CDeviceList& operator=(const CDeviceList&) = delete;

    // The merge: from any discovery thread. A record matches the first row
    // with its address on its adapter, unless both carry a known MAC address
    // and the two differ: two cameras that share an address get a row each,
    // and every row of such a group is marked (image kImageDuplicate and a
    // tooltip naming the other MAC addresses in column "IP Address").
    void AddOrUpdateDevice(const DeviceInfo& info);

    // A MAC address that was resolved after the merge: every row of that
    // address on that adapter whose MAC address is still empty takes it
    // (record and column "MAC Address"). False when no row took it.
    bool FillMacAddress(uint32_t adapterIndex, const std::string& ipAddress, const std::string& macAddress);

    // The refresh: empties the records, deletes all rows, deviceCount := 0.
    void RemoveAll();

    int DeviceCount() const;
    // Rows whose address another camera on the same adapter uses as well.
    int SharedAddressCount() const;

    // Runs fn on the record of a row under the device lock (commands on the
    // selected camera read and change records this way). False when no record.
    bool WithDevice(int row, const std::function<void(CDevice&)>& fn);

    // A copy of every record, in row order.
    std::vector<CDevice> Snapshot() const;

    // Row changes made outside the merge (IP-change flows) go through the same sink.
    void SetItemText(int row, int column, const std::string& text);
    void SetItemImage(int row, int column, int image);

private:
    // Brings the marks of the rows with this address on this adapter up to
    // date (device lock held).
    void MarkSharedAddress(const std::string& ipAddress, uint32_t adapterIndex);

    mutable std::mutex deviceLock;
    std::vector<std::unique_ptr<CDevice>> devices;
    int deviceCount = 0;
    IDeviceListSink* sink;
};

// The merge's form of a camera name: white space trimmed at both ends, cut
// before the first "." unless the name begins with it ("cam1.local" -> "cam1").
std::string NormaliseDeviceName(const std::string& name);

// The tooltip of a row whose address other cameras use too.
std::string SharedAddressToolTip(const std::vector<std::string>& otherMacs);
