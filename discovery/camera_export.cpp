#include "discovery/camera_export.h"

#include <nlohmann/json.hpp>

namespace {

using Json = nlohmann::ordered_json;

Json ToJson(const CDevice& d) {
    // Texts stay as they came; the dump replaces what is not UTF-8.
    return Json{{"name", d.name},
                {"ipAddress", d.ipAddress},
                {"macAddress", d.macAddress},
                {"interfaceName", d.interfaceName},
                {"hostName", d.hostName},
                {"platform", d.platform},
                {"model", d.model},
                {"reachable", d.reachable},
                {"disabled", d.disabled},
                {"ipChangePending", d.ipChangePending},
                {"duplicateAddress", !d.sharedAddressMacs.empty()}};
}

std::string Dump(const Json& j, int indent) { return j.dump(indent, ' ', false, Json::error_handler_t::replace); }

}  // namespace

const std::vector<std::string>& CameraExportKeys() {
    static const std::vector<std::string> keys = [] {
        std::vector<std::string> k;
        const Json object = ToJson(CDevice());
        for (const auto& item : object.items()) k.push_back(item.key());
        return k;
    }();
    return keys;
}

std::string ValidUtf8(const std::string& text) {
    bool ascii = true;
    for (unsigned char c : text) ascii = ascii && c < 0x80;
    if (ascii) return text;
    // The JSON serializer knows UTF-8 and replaces what is not; reading its
    // output back gives the clean text.
    return Json::parse(Dump(Json(text), -1)).get<std::string>();
}

std::string TerminalText(const std::string& text) {
    const std::string valid = ValidUtf8(text);
    std::string out;
    out.reserve(valid.size());
    for (size_t i = 0; i < valid.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(valid[i]);
        const bool c1 = c == 0xC2 && i + 1 < valid.size() && static_cast<unsigned char>(valid[i + 1]) < 0xA0;
        if (c < 0x20 || c == 0x7F || c1) {
            out += "\xEF\xBF\xBD";
            if (c1) ++i;
        } else {
            out += valid[i];
        }
    }
    return out;
}

std::vector<std::string> CameraExportCells(const CDevice& camera) {
    std::vector<std::string> cells;
    const Json object = ToJson(camera);
    for (const auto& item : object.items()) {
        const Json& v = item.value();
        cells.push_back(v.is_string() ? ValidUtf8(v.get<std::string>()) : Dump(v, -1));
    }
    return cells;
}

std::string CameraJson(const CDevice& camera, int indent) { return Dump(ToJson(camera), indent); }

std::string CameraListJson(const std::vector<CDevice>& cameras, int indent) {
    Json array = Json::array();
    for (const CDevice& d : cameras) array.push_back(ToJson(d));
    return Dump(array, indent) + "\n";
}

std::string CsvLine(const std::vector<std::string>& fields) {
    std::string line;
    for (size_t i = 0; i < fields.size(); ++i) {
        if (i) line += ',';
        const std::string& f = fields[i];
        if (f.find_first_of(",\"\r\n") == std::string::npos) {
            line += f;
            continue;
        }
        line += '"';
        for (char c : f) {
            if (c == '"') line += '"';
            line += c;
        }
        line += '"';
    }
    return line + "\r\n";
}

std::string CameraListCsv(const std::vector<CDevice>& cameras) {
    std::string csv = CsvLine(CameraExportKeys());
    for (const CDevice& d : cameras) csv += CsvLine(CameraExportCells(d));
    return csv;
}

ExportFormat ExportFormatForFileName(const std::string& fileName) {
    const size_t dot = fileName.find_last_of('.');
    const size_t slash = fileName.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return ExportFormat::Unknown;
    const std::string ext = fileName.substr(dot + 1);
    if (EqualsNoCase(ext, "csv")) return ExportFormat::Csv;
    if (EqualsNoCase(ext, "json")) return ExportFormat::Json;
    return ExportFormat::Unknown;
}

std::string ExportCameraList(const std::vector<CDevice>& cameras, ExportFormat format) {
    switch (format) {
    case ExportFormat::Csv: return CameraListCsv(cameras);
    case ExportFormat::Json: return CameraListJson(cameras);
    default: return {};
    }
}
