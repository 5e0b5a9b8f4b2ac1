#include "base/error.hpp"

#include "base/text.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

namespace vandrel {
namespace {

constexpr std::string_view RESOLVER_PREFIX = "failed to lookup address information: ";

std::string os_description(int code) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in `buf`.
    const char* text = ::strerror_r(code, buf, sizeof buf);
    return text;
}

// What an error's text puts around its payload, by kind.
struct KindText {
    ErrorKind kind;
    std::string_view before;
    std::string_view after;
};
constexpr KindText KIND_TEXTS[] = {
    {ErrorKind::SteamInit, "steam api error, ", ""},
    {ErrorKind::CreateSocket, "create socket error, ", ""},
    {ErrorKind::Send, "send error, ", ""},
    {ErrorKind::Io, "io error, ", ""},
    {ErrorKind::InvalidString, "invalid string, ", ""},
    {ErrorKind::MissingArgument, "invalid args, missing \"", "\""},
    {ErrorKind::ParseFailure, "failed to parse \"", "\""},
    {ErrorKind::Message, "", ""},
};

const KindText& kind_text(ErrorKind kind) {
    return *std::find_if(std::begin(KIND_TEXTS), std::end(KIND_TEXTS),
                         [kind](const KindText& k) { return k.kind == kind; });
}

// The payload's own text: a name or message as it is, an I/O or UTF-8 error
// as it writes itself, a failed Steam initialisation as its kind's fixed text.
void append_payload(std::string& out, std::string_view text) {
    out += text;
}
void append_payload(std::string& out, const IoError& e) {
    e.write_text(out);
}
void append_payload(std::string& out, const Utf8Error& e) {
    e.write_text(out);
}
void append_payload(std::string& out, const SteamAPIInitError& e) {
    out += e.display();
}

} // namespace

IoError IoError::last_os() {
    return os(errno);
}

bool IoError::interrupted() const {
    return form_ == Form::Os && code_ == EINTR;
}

bool IoError::broken_pipe() const {
    return form_ == Form::Os && code_ == EPIPE;
}

void IoError::write_text(std::string& out) const {
    switch (form_) {
    case Form::Os:
        out += os_description(code_);
        out += " (os error ";
        out += std::to_string(code_);
        out += ')';
        return;
    case Form::Fixed:
        out += fixed_;
        return;
    case Form::Resolver:
        out += RESOLVER_PREFIX;
        out += resolver_;
        return;
    case Form::Described:
        out += resolver_;
        return;
    }
}

std::string_view SteamAPIInitError::display() const {
    switch (kind_) {
    case Kind::Generic:
        return "Some other failure";
    case Kind::NoSteamClient:
        return "We cannot connect to Steam, steam probably isn't running";
    case Kind::VersionMismatch:
        return "Steam client appears to be out of date";
    }
    return {};
}

std::string SteamAPIInitError::debug() const {
    std::string out;
    switch (kind_) {
    case Kind::Generic:
        out = "Generic";
        break;
    case Kind::NoSteamClient:
        out = "NoSteamClient";
        break;
    case Kind::VersionMismatch:
        out = "VersionMismatch";
        break;
    }
    out += '(';
    append_quoted(out, message_);
    out += ')';
    return out;
}

void BrokerError::write_text(std::string& out) const {
    const KindText& kind = kind_text(kind_);
    out += kind.before;
    std::visit([&out](const auto& payload) { append_payload(out, payload); }, payload_);
    out += kind.after;
}

std::string BrokerError::text() const {
    std::string out;
    write_text(out);
    return out;
}

} // namespace vandrel
