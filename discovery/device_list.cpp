#include "discovery/device_list.h"

#include "discovery/adapters.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// A record may be the camera of a row unless both MAC addresses are known
// and differ: then two cameras answer at one address. An announcement's
// address is listed as it stands; when that is no IPv4 address (empty, or
// free text) it identifies nobody and the host names must match too, so
// that two such cameras do not hide each other in one row.
bool MayBeSameCamera(const CDevice& row, const DeviceInfo& info) {
    uint32_t address = 0;
    if (!ParseIPv4(info.ipAddress, address) && row.hostName != info.hostName) return false;
    if (!info.macKnown || info.macAddress.empty() || row.macAddress.empty()) return true;
    return EqualsNoCase(row.macAddress, info.macAddress);
}

}  // namespace

// Trimmed, and cut before the first "." unless the name begins with it.
std::string NormaliseDeviceName(const std::string& name) {
    size_t b = 0, e = name.size();
    while (b < e && IsBlank(name[b])) ++b;
    while (e > b && IsBlank(name[e - 1])) --e;
    std::string n = name.substr(b, e - b);
    size_t dot = n.find('.');
    if (dot != std::string::npos && dot >= 1) n.resize(dot);
    return n;
}

CDeviceList::CDeviceList(IDeviceListSink* sink) : sink(sink) {}

CDeviceList::~CDeviceList() {
    std::lock_guard<std::mutex> lock(deviceLock);
    devices.clear();
}

void CDeviceList::AddOrUpdateDevice(const DeviceInfo& info) {
    const std::string name = NormaliseDeviceName(info.name);
    const std::string& interfaceName = info.interfaceName;
    if (info.hostName.empty()) return;

    std::lock_guard<std::mutex> lock(deviceLock);
    for (auto& d : devices) {
        if (d->ipAddress != info.ipAddress || d->adapterIndex != info.adapterIndex) continue;
        if (!MayBeSameCamera(*d, info)) continue;
        if (!interfaceName.empty()) {
            d->interfaceName = interfaceName;
            if (sink) sink->SetItemText(d->row, kColInterface, interfaceName);
        }
        d->ipAddress = info.ipAddress;
        if (sink) sink->SetItemText(d->row, kColIpAddress, d->ipAddress);
        d->reachable = IsReachable(*d);
        const int image = d->ipChangePending ? kImagePending : d->reachable ? kImageReachable : kImageOtherSubnet;
        if (sink) {
            sink->SetItemImage(d->row, kColName, image);
            sink->SetItemText(d->row, kColMacAddress, d->macAddress);
            sink->SetItemText(d->row, kColInterface, interfaceName);
        }
        MarkSharedAddress(info.ipAddress, info.adapterIndex);
        return;
    }

    if (name.empty()) return;
    auto device = std::make_unique<CDevice>();
    if (!info.txt.empty()) {
        auto bsp = info.txt.find("bsp");
        auto model = info.txt.find("model");
        auto enabled = info.txt.find("enabled");
        device->platform = bsp != info.txt.end() ? bsp->second : std::string();
        device->model = model != info.txt.end() ? model->second : std::string();
        device->disabled = enabled != info.txt.end() && EqualsNoCase(enabled->second, "false");
    }
    device->interfaceName = interfaceName;
    device->adapterIndex = info.adapterIndex;
    device->ipAddress = info.ipAddress;
    device->hostName = info.hostName;
    device->name = name;
    device->row = deviceCount;
    device->gateway = info.gateway;
    device->subnetMask = info.subnetMask;
    device->dhcp = info.dhcp;
    device->macBytes = info.macBytes;
    device->macAddress = info.macAddress;
    if (!IsListable(*device)) return;

    device->listed = true;
    const int row = device->row;
    if (sink) {
        sink->InsertRow(row, device->name);
        sink->SetItemText(row, kColIpAddress, device->ipAddress);
        sink->SetItemText(row, kColMacAddress, device->macAddress);
        sink->SetItemText(row, kColInterface, device->interfaceName);
    }
    device->reachable = IsReachable(*device);
    if (sink) {
        sink->SetItemImage(row, kColName, device->reachable ? kImageReachable : kImageOtherSubnet);
        if (device->disabled) sink->SetItemImage(row, kColLock, kImageDisabled);
    }
    ++deviceCount;
    devices.push_back(std::move(device));
    MarkSharedAddress(info.ipAddress, info.adapterIndex);
}

std::string SharedAddressToolTip(const std::vector<std::string>& otherMacs) {
    std::string text = "Duplicate IP address: also used by ";
    for (size_t i = 0; i < otherMacs.size(); ++i) text += (i ? ", " : "") + otherMacs[i];
    return text;
}

void CDeviceList::MarkSharedAddress(const std::string& ipAddress, uint32_t adapterIndex) {
    std::vector<CDevice*> group;
    for (auto& d : devices)
        if (d->ipAddress == ipAddress && d->adapterIndex == adapterIndex) group.push_back(d.get());
    for (CDevice* d : group) {
        std::vector<std::string> others;
        if (!d->macAddress.empty())
            for (const CDevice* o : group) {
                if (o == d || o->macAddress.empty() || EqualsNoCase(o->macAddress, d->macAddress)) continue;
                bool listed = false;
                for (const auto& m : others) listed = listed || EqualsNoCase(m, o->macAddress);
                if (!listed) others.push_back(o->macAddress);
            }
        if (others == d->sharedAddressMacs) continue;
        d->sharedAddressMacs = std::move(others);
        if (!sink) continue;
        const bool shared = !d->sharedAddressMacs.empty();
        sink->SetItemImage(d->row, kColIpAddress, shared ? kImageDuplicate : -1);
        sink->SetItemToolTip(d->row, kColIpAddress, shared ? SharedAddressToolTip(d->sharedAddressMacs) : "");
    }
}

bool CDeviceList::FillMacAddress(uint32_t adapterIndex, const std::string& ipAddress, const std::string& macAddress) {
    if (macAddress.empty()) return false;
    std::lock_guard<std::mutex> lock(deviceLock);
    bool filled = false;
    for (auto& d : devices) {
        if (d->adapterIndex != adapterIndex || d->ipAddress != ipAddress || !d->macAddress.empty()) continue;
        d->macAddress = macAddress;
        if (sink) sink->SetItemText(d->row, kColMacAddress, macAddress);
        filled = true;
    }
    return filled;
}

void CDeviceList::RemoveAll() {
    std::lock_guard<std::mutex> lock(deviceLock);
    devices.clear();
    if (sink) sink->DeleteAllRows();
    deviceCount = 0;
}

int CDeviceList::DeviceCount() const {
    std::lock_guard<std::mutex> lock(deviceLock);
    return deviceCount;
}

bool CDeviceList::WithDevice(int row, const std::function<void(CDevice&)>& fn) {
    std::lock_guard<std::mutex> lock(deviceLock);
    if (row < 0 || static_cast<size_t>(row) >= devices.size() || !devices[row]) return false;
    fn(*devices[row]);
    return true;
}

int CDeviceList::SharedAddressCount() const {
    std::lock_guard<std::mutex> lock(deviceLock);
    int n = 0;
    for (const auto& d : devices) n += d->sharedAddressMacs.empty() ? 0 : 1;
    return n;
}

std::vector<CDevice> CDeviceList::Snapshot() const {
    std::lock_guard<std::mutex> lock(deviceLock);
    std::vector<CDevice> copy;
    copy.reserve(devices.size());
    for (const auto& d : devices) copy.push_back(*d);
    return copy;
}

void CDeviceList::SetItemText(int row, int column, const std::string& text) {
    std::lock_guard<std::mutex> lock(deviceLock);
    if (sink) sink->SetItemText(row, column, text);
}

void CDeviceList::SetItemImage(int row, int column, int image) {
    std::lock_guard<std::mutex> lock(deviceLock);
    if (sink) sink->SetItemImage(row, column, image);
}
