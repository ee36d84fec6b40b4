// Logging for programs that use the library: texts with a priority, printed
// to the standard output (the console modes, on by default) or sent to the
// machine-wide queue "Syslog_Q", where halvex-syslogd hands them to syslog.
// Which priorities are logged is one mask shared by all processes.
#pragma once

#include <halvex/halvex_export.h>
#include <halvex/platform/errcodes.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

namespace ZYRK {

enum SLOG_PRIO_TYPE {
    SLOG_DEBUG = 0,
    SLOG_INFO = 1,
    SLOG_NOTICE = 2,
    SLOG_WARNING = 3,
    SLOG_ERROR = 4,
    SLOG_CRITICAL = 5,
    SLOG_ALERT = 6,
    SLOG_EMERGENCY = 7,
    SLOG_NO_SYSLOG = 8,       // mask bit only: print instead of sending
    SLOG_NO_PRIO = 9,         // always enabled
    SLOG_NO_SYSLOG_LEAN = 10, // mask bit only: print in the short form
};

constexpr RESULT_T SLOG_ERR_DROPPED = 0xAF000001;
constexpr RESULT_T SLOG_ERR_DISABLED = 0xAF000002;
constexpr RESULT_T SLOG_ERR_FORMAT = 0xAF000003;
constexpr RESULT_T SLOG_ERR_ARGUMENT = 0xAF000005;

constexpr uint32_t SLOG_DEFAULT_MASK = 1520;  // error and above, both console modes
constexpr uint32_t SLOG_MSG_TYPE = 6;
constexpr uint32_t SLOG_MSG_MAX = 512;
constexpr uint32_t SLOG_HEADER_SIZE = 40;

class CQueue;

class HALVEX_API CSyslogIntf {
public:
    CSyslogIntf();
    virtual ~CSyslogIntf();
    CSyslogIntf(const CSyslogIntf&) = delete;
    CSyslogIntf& operator=(const CSyslogIntf&) = delete;

    static RESULT_T Initialize();
    static void Deinitialize();
    static bool getPriorityEnable(int priority);
    static void SetPriorityEnable(int priority, bool enable);
    static void SetPriorityMask(uint32_t mask);
    static uint32_t getPriorityMask();
    static const char* getPriorityText(int priority);

    RESULT_T Log(const char* logger, int priority, const char* format, ...) __attribute__((format(printf, 4, 5)));
    RESULT_T VLog(const char* logger, int priority, const char* format, va_list args);
    RESULT_T Emergency(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Alert(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Critical(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Error(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Warning(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Notice(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Info(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));
    RESULT_T Debug(const char* logger, const char* format, ...) __attribute__((format(printf, 3, 4)));

    RESULT_T DoLog(const char* logger, int priority, const char* text);

private:
    __attribute__((visibility("hidden"))) RESULT_T SendToSyslog(const uint8_t* message, uint32_t length, bool drop);
    __attribute__((visibility("hidden"))) bool AttachQueue();

    CQueue* mpQueue;
    bool mbAttached = false;
    uint32_t mulThreadId;
};

}  // namespace ZYRK

HALVEX_C_API uint32_t SyslogInitialize(void);
HALVEX_C_API void SyslogDeinitialize(void);
HALVEX_C_API int PriorityEnabled(int priority);
HALVEX_C_API void SetPriorityEnable(int priority, int enable);
HALVEX_C_API uint32_t SyslogLog(const char* logger, int priority, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
HALVEX_C_API uint32_t SyslogEmergency(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogAlert(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogCritical(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogError(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogWarning(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogNotice(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogInfo(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogDebug(const char* logger, const char* format, ...) __attribute__((format(printf, 2, 3)));
HALVEX_C_API uint32_t SyslogW(const wchar_t* logger, int priority, const wchar_t* text);
HALVEX_C_API uint32_t XMLLog(const char* logger, int priority, const char* tag, const char* text,
                             const char* attributeFormat, ...) __attribute__((format(printf, 5, 6)));
HALVEX_C_API void SyslogKernelMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));
