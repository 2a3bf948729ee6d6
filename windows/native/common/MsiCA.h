// Support for code that runs inside an installation session as a custom action: session
// properties, further actions, run modes, the arguments of deferred actions, the session's own
// database, and this library's log sent into the session log.
#pragma once

#include <cstdint>
#include <map>

#include "Log.h"
#include "MsiDb.h"

namespace msi {

// The session a custom action was called with.
class CAImpl {
public:
    explicit CAImpl(MSIHANDLE session) : session_(session) {}

    MSIHANDLE getHandle() const noexcept { return session_; }

    tstring getProperty(const tstring& name) const;
    // Refuses an empty value: the service would take it as removal (use removeProperty).
    void setProperty(const tstring& name, const tstring& value) const;
    void removeProperty(const tstring& name) const;
    // The session's "ProductCode".
    Guid productCode() const;

    bool isInMode(MSIRUNMODE mode) const;
    // One character per run mode 0 to 18: "1" when the session is in it, else "0".
    tstring getModes() const;

    // "" stays ""; otherwise '/' becomes '\' and the path ends in exactly one '\'.
    static tstring normalizeDirPath(const tstring& path);

private:
    MSIHANDLE session_;
};

// A custom action's view of its session.
class CAFacade {
public:
    explicit CAFacade(MSIHANDLE session) : impl_(session) {}

    const CAImpl& impl() const noexcept { return impl_; }

    tstring getProperty(const tstring& name) const { return impl_.getProperty(name); }
    void setProperty(const tstring& name, const tstring& value) const { impl_.setProperty(name, value); }
    // Sets the property only when it has no value yet.
    void setPropertyIfEmpty(const tstring& name, const tstring& value) const;
    void doAction(const tstring& name) const;

private:
    CAImpl impl_;
};

// A custom action reading the arguments it was scheduled with. Deferred actions receive them as
// "CustomActionData"; an immediate action named `caName` reads the property of that name.
class DeferredCA {
public:
    using ArgsCtnr = std::map<tstring, tstring>;

    explicit DeferredCA(MSIHANDLE session, const tstring& caName = tstring()) : session_(session), caName_(caName) {}

    const CAImpl& session() const noexcept { return session_; }

    // The raw argument text.
    tstring getArg() const;
    // Reads "name=value*name=value**rest": pieces are split at '*', each at its first '=', and
    // whatever follows "**" is kept whole under the empty name. New values replace held ones.
    DeferredCA& parseArgs(const tstring& text);
    // Parses getArg().
    DeferredCA& parseArgs() { return parseArgs(getArg()); }

    const tstring& getParsedArg(const tstring& name) const;
    const ArgsCtnr& parsedArgs() const noexcept { return args_; }

private:
    CAImpl session_;
    ArgsCtnr args_;
    tstring caName_;
};

// The session's database handle; the caller owns it.
MSIHANDLE openDatabase(const CAImpl& session);
// The session's database, with the path marker "*CA*".
Database sessionDatabase(const CAImpl& session);

// Sends every log record to the session log as an information message.
class MsiLogAppender : public LogAppender {
public:
    explicit MsiLogAppender(MSIHANDLE session);

    void append(const LogEvent& event) override;

    // "[hh:mm:ss.mmm<mark>file:line (function)] LEVEL: message"; the mark is one space for
    // records of the thread that made the appender, " (TID: id) " for any other thread.
    tstring formatLine(const LogEvent& event) const;
    // The message record: template "Vela [1]" in field 0, the line in field 1.
    DatabaseRecord makeRecord(const LogEvent& event) const;

private:
    MSIHANDLE session_;
    std::uint32_t creatorTid_;
};

}  // namespace msi

// While it lives, every log record goes to the session log first, then wherever it went before.
class MsiLogTrigger {
public:
    explicit MsiLogTrigger(MSIHANDLE session);
    ~MsiLogTrigger();
    MsiLogTrigger(const MsiLogTrigger&) = delete;
    MsiLogTrigger& operator=(const MsiLogTrigger&) = delete;

private:
    msi::MsiLogAppender appender_;
    LogAppender* previous_;
    TeeLogAppender tee_;
};
