#include "base/error.hpp"

#include "base/text.hpp"

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

} // namespace

IoError IoError::last_os() {
    return os(errno);
}

bool IoError::interrupted() const {
    return form_ == Form::Os && code_ == EINTR;
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
    switch (kind_) {
    case ErrorKind::SteamInit:
        out += "steam api error, ";
        out += std::get<SteamAPIInitError>(payload_).display();
        return;
    case ErrorKind::CreateSocket:
        out += "create socket error, ";
        break;
    case ErrorKind::Send:
        out += "send error, ";
        break;
    case ErrorKind::Io:
        out += "io error, ";
        break;
    case ErrorKind::InvalidString:
        out += "invalid string, ";
        std::get<Utf8Error>(payload_).write_text(out);
        return;
    case ErrorKind::MissingArgument:
        out += "invalid args, missing \"";
        out += std::get<std::string_view>(payload_);
        out += '"';
        return;
    case ErrorKind::ParseFailure:
        out += "failed to parse \"";
        out += std::get<std::string_view>(payload_);
        out += '"';
        return;
    case ErrorKind::Message:
        if (const auto* owned = std::get_if<std::string>(&payload_))
            out += *owned;
        else
            out += std::get<std::string_view>(payload_);
        return;
    }
    std::get<IoError>(payload_).write_text(out);
}

std::string BrokerError::text() const {
    std::string out;
    write_text(out);
    return out;
}

} // namespace vandrel
