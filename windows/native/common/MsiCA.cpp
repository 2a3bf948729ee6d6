#include "MsiCA.h"

#include "FileUtils.h"

namespace msi {
namespace {

constexpr const wchar_t* kSessionDatabasePath = L"*CA*";
constexpr const wchar_t* kCustomActionData = L"CustomActionData";
constexpr const wchar_t* kSessionLogTemplate = L"Vela [1]";
constexpr int kRunModeCount = 19;

// Adds the "name=value" pieces of `part`, split at '*', to `args`; a later name wins.
void parseArgsPart(const tstring& part, DeferredCA::ArgsCtnr& args) {
    for (const tstring& piece : tstrings::split(part, L"*", false)) {
        const std::size_t equals = piece.find(L'=');
        if (equals == tstring::npos) {
            LD_THROW(tstrings::MessageBuilder() << "Missing expected '=' character in [" << piece << "] string.");
        }
        args[piece.substr(0, equals)] = piece.substr(equals + 1);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CAImpl

tstring CAImpl::getProperty(const tstring& name) const {
    return msi::getProperty(session_, name);
}

void CAImpl::setProperty(const tstring& name, const tstring& value) const {
    LOG_TRACE("Setting MSI property '" << name << "' to '" << value << "'");
    if (value.empty()) {
        LD_THROW(tstrings::MessageBuilder() << "Attempt to assign empty value to '" << name << "' MSI property");
    }
    LD_THROW_IF_ERROR_CODE(service().MsiSetPropertyW(session_, name.c_str(), value.c_str()), Error,
                           "MsiSetProperty(" << name << ", " << value << ") failed");
}

void CAImpl::removeProperty(const tstring& name) const {
    LOG_TRACE("Removing MSI property '" << name << "'");
    LD_THROW_IF_ERROR_CODE(service().MsiSetPropertyW(session_, name.c_str(), nullptr), Error,
                           "MsiSetProperty(" << name << ", NULL) failed");
}

Guid CAImpl::productCode() const {
    return Guid(getProperty(L"ProductCode"));
}

bool CAImpl::isInMode(MSIRUNMODE mode) const {
    return service().MsiGetMode(session_, mode) != FALSE;
}

tstring CAImpl::getModes() const {
    tstring modes;
    for (int mode = 0; mode < kRunModeCount; ++mode) {
        modes += isInMode(static_cast<MSIRUNMODE>(mode)) ? L'1' : L'0';
    }
    return modes;
}

tstring CAImpl::normalizeDirPath(const tstring& path) {
    if (path.empty()) {
        return path;
    }
    return FileUtils::removeTrailingSeparators(tstrings::replace(path, L"/", L"\\")) + L"\\";
}

// ---------------------------------------------------------------------------------------------
// CAFacade

void CAFacade::setPropertyIfEmpty(const tstring& name, const tstring& value) const {
    if (impl_.getProperty(name).empty()) {
        impl_.setProperty(name, value);
    }
}

void CAFacade::doAction(const tstring& name) const {
    LD_THROW_IF_ERROR_CODE(service().MsiDoActionW(impl_.getHandle(), name.c_str()), Error,
                           "MsiDoAction(" << name << ") failed");
}

// ---------------------------------------------------------------------------------------------
// DeferredCA

tstring DeferredCA::getArg() const {
    if (session_.isInMode(MSIRUNMODE_SCHEDULED) || caName_.empty()) {
        return session_.getProperty(kCustomActionData);
    }
    return session_.getProperty(caName_);
}

DeferredCA& DeferredCA::parseArgs(const tstring& text) {
    // Parsed into a fresh map first, so that bad text leaves the held arguments as they were.
    ArgsCtnr parsed;
    const std::size_t rest = text.find(L"**");
    if (rest == tstring::npos) {
        parseArgsPart(text, parsed);
    } else {
        parseArgsPart(text.substr(0, rest), parsed);
        parsed[tstring()] = text.substr(rest + 2);
    }
    parsed.insert(args_.begin(), args_.end());
    args_.swap(parsed);
    return *this;
}

const tstring& DeferredCA::getParsedArg(const tstring& name) const {
    const auto found = args_.find(name);
    if (found == args_.end()) {
        LD_THROW(tstrings::MessageBuilder() << "Argument << '" << name << "' not found.");
    }
    return found->second;
}

// ---------------------------------------------------------------------------------------------
// Session database

MSIHANDLE openDatabase(const CAImpl& session) {
    const MSIHANDLE handle = service().MsiGetActiveDatabase(session.getHandle());
    if (handle == 0) {
        LD_THROW(Error("MsiGetActiveDatabase() failed", ERROR_FUNCTION_FAILED));
    }
    return handle;
}

Database sessionDatabase(const CAImpl& session) {
    return Database(openDatabase(session), kSessionDatabasePath, Database::AdoptHandle{});
}

// ---------------------------------------------------------------------------------------------
// Session log

MsiLogAppender::MsiLogAppender(MSIHANDLE session) : session_(session), creatorTid_(GetCurrentThreadId()) {}

tstring MsiLogAppender::formatLine(const LogEvent& event) const {
    const tstring threadMark = event.tid == creatorTid_
                                   ? tstring(L" ")
                                   : (tstrings::MessageBuilder() << " (TID: " << event.tid << ") ").tstr();
    return tstrings::formatPrintf(L"[%02u:%02u:%02u.%03u%s%s:%u (%s)] %s: %s", static_cast<unsigned>(event.ts.wHour),
                                  static_cast<unsigned>(event.ts.wMinute), static_cast<unsigned>(event.ts.wSecond),
                                  static_cast<unsigned>(event.ts.wMilliseconds), threadMark, event.fileName,
                                  static_cast<unsigned>(event.lineNum), event.funcName, event.logLevel, event.message);
}

DatabaseRecord MsiLogAppender::makeRecord(const LogEvent& event) const {
    DatabaseRecord record(1);
    record.setString(0, kSessionLogTemplate);
    record.setString(1, formatLine(event));
    return record;
}

void MsiLogAppender::append(const LogEvent& event) {
    try {
        const DatabaseRecord record = makeRecord(event);
        service().MsiProcessMessage(session_, INSTALLMESSAGE_INFO, record.getHandle());
    } catch (...) {
        // A record the session log cannot take is dropped: reporting the failure would log
        // again, through this same appender.
    }
}

}  // namespace msi

MsiLogTrigger::MsiLogTrigger(MSIHANDLE session)
    : appender_(session), previous_(Logger::global().appender()), tee_(&appender_, previous_) {
    Logger::global().setAppender(&tee_);
}

MsiLogTrigger::~MsiLogTrigger() {
    Logger::global().setAppender(previous_);
}
