// The camera list as a file or as program output: JSON (an array of one
// object per camera) and CSV (RFC 4180: a header row with every key of the
// JSON objects, CRLF line ends, UTF-8). Names and other texts come from the
// network and may hold bytes that are not UTF-8: every text is written as
// valid UTF-8, each invalid sequence replaced by U+FFFD.
#pragma once

#include "discovery/device.h"

#include <string>
#include <vector>

// The keys of a camera's JSON object, in order; the CSV header row.
const std::vector<std::string>& CameraExportKeys();

// `text` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string ValidUtf8(const std::string& text);

// Valid UTF-8 without control characters, for a terminal: each invalid
// sequence and each C0 or C1 control character becomes U+FFFD.
std::string TerminalText(const std::string& text);

// The values of one camera in the order of CameraExportKeys, as CSV cells
// ("true"/"false" for flags), valid UTF-8.
std::vector<std::string> CameraExportCells(const CDevice& camera);

// One camera as a JSON object; indent < 0 gives one line.
std::string CameraJson(const CDevice& camera, int indent = -1);
// The cameras as a JSON array followed by a line end.
std::string CameraListJson(const std::vector<CDevice>& cameras, int indent = 2);

// One CSV record with its CRLF: fields holding a comma, a double quote, CR
// or LF are quoted, quotes doubled.
std::string CsvLine(const std::vector<std::string>& fields);
// The header row, then one record per camera.
std::string CameraListCsv(const std::vector<CDevice>& cameras);

enum class ExportFormat { Csv, Json, Unknown };
// By the file name's extension (".csv", ".json", any letter case).
ExportFormat ExportFormatForFileName(const std::string& fileName);
std::string ExportCameraList(const std::vector<CDevice>& cameras, ExportFormat format);
