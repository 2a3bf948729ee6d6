// The system-bound half of the error model: system and COM error descriptions.
#include <cerrno>
#include <cstring>

#include "ErrorHandling.h"
#include "FileUtils.h"
#include "Log.h"
#include "UniqueResource.h"
#include "WinApi.h"
#include "WinDll.h"
#include "WinSysInfo.h"

SysError::SysError(const tstrings::MessageBuilder& message, const void* failedApi, unsigned long code,
                   const char* label)
    : std::runtime_error(makeMessage(message.str(), label, failedApi, code)) {}

std::string makeMessage(const std::string& message, const char* label, const void* failedApi, unsigned long code) {
    tstrings::MessageBuilder part;
    part << (label != nullptr ? label : "Some error") << " [" << code << "]";

    HMODULE module = nullptr;
    if (failedApi != nullptr) {
        module = SysInfo::moduleContaining(failedApi);
        if (module == nullptr && Logger::global().enabled(LogLevel::WARNING)) {
            Logger::global().log(LogLevel::WARNING, LD_FILE_W, __LINE__, LD_FUNCTION_NAME_W,
                                 tstrings::MessageBuilder()
                                     << "GetModuleHandleEx() failed for " << failedApi << " address.");
        }
    }
    if (module != nullptr || failedApi == nullptr) {
        part << "(" << describeSystemError(code, module) << ")";
    }
    return joinMessages(message, part.str());
}

tstring describeSystemError(unsigned long code, void* module) {
    return (tstrings::MessageBuilder() << "system error " << code << " (" << lookupMessageText(code, module) << ")")
        .tstr();
}

tstring lookupMessageText(unsigned long code, void* module) {
    const DWORD baseFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    // FormatMessage allocates the text and hands it over through its buffer parameter.
    LocalMemory<wchar_t*> buffer;
    DWORD length = FormatMessageW(baseFlags | (module != nullptr ? FORMAT_MESSAGE_FROM_HMODULE : 0), module, code, 0,
                                  reinterpret_cast<LPWSTR>(buffer.receive()), 0, nullptr);
    if (length == 0 && module != nullptr) {
        length = FormatMessageW(baseFlags, nullptr, code, 0, reinterpret_cast<LPWSTR>(buffer.receive()), 0, nullptr);
    }
    if (length == 0 || !buffer) {
        return L"No description available";
    }

    wchar_t* text = buffer.get();
    for (DWORD i = 0; i < length; ++i) {
        if (text[i] < 0x20) {
            text[i] = L' ';
        }
    }
    // Strip the trailing period and line break; the first character always stays.
    for (DWORD i = length; i >= 1; --i) {
        if (text[i] > 0x20 && text[i] != L'.') {
            break;
        }
        text[i] = L'\0';
    }
    return tstring(text);
}

tstring describeComError(long hr) {
    unsigned long code = static_cast<unsigned long>(hr);
    if (((code >> 16) & 0x1FFF) == FACILITY_WIN32) {
        code &= 0xFFFF;
    }
    return tstrings::formatPrintf(L"COM error 0x%08X (%s)", static_cast<unsigned>(hr),
                                  lookupMessageText(code, nullptr));
}

std::string crtErrorText() {
    wchar_t text[2048] = {};
    if (_wcserror_s(text, sizeof(text) / sizeof(text[0]), errno) != 0) {
        return std::string();
    }
    return tstrings::toUtf8(tstring(text));
}

void showDebugBreakPrompt(const SourceLocation& location, const tstring& variableName, const tstring& key) {
    const tstring text = ld::detail::debugBreakPromptText(location, variableName, key);
    if (text.empty()) {
        return;
    }
    const tstring caption = FileUtils::basename(SysInfo::getCurrentModulePath());
    LD_SYSTEM_FUNCTION(user32, MessageBoxW)(nullptr, text.c_str(), caption.c_str(), MB_TASKMODAL);
}
