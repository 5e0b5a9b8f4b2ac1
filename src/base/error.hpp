// The program's error types; with them the result type (result.hpp) that every
// fallible function returns.
//
// Errors travel upwards by return value and become text exactly once, where they
// are reported; `BrokerError::write_text` is the only rendering there is.
#pragma once

#include "base/result.hpp"
#include "base/text.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vandrel {

// The error of an operating-system or library call: an errno, a fixed message
// of the program, the resolver's failure text, or a message of the program
// that names its subject.
class IoError {
  public:
    // An operating-system error number; its text is "{strerror} (os error N)".
    static IoError os(int code) { return IoError(Form::Os, code, {}, {}); }
    // The errno of the failed call that just returned.
    static IoError last_os();
    // A fixed message; `text` must be a constant of the program.
    static IoError fixed(std::string_view text) { return IoError(Form::Fixed, 0, text, {}); }
    // A resolver failure ("failed to lookup address information: {text}").
    static IoError resolver(std::string text) {
        return IoError(Form::Resolver, 0, {}, std::move(text));
    }
    // A message of the program that names what it is about (a path, a uid).
    static IoError described(std::string text) {
        return IoError(Form::Described, 0, {}, std::move(text));
    }

    // True when the call was interrupted by a signal and may simply be repeated.
    bool interrupted() const;
    // True when nobody reads the pipe or socket written to any more.
    bool broken_pipe() const;
    void write_text(std::string& out) const;

  private:
    enum class Form { Os, Fixed, Resolver, Described };
    IoError(Form form, int code, std::string_view fixed, std::string resolver)
        : form_(form), code_(code), fixed_(fixed), resolver_(std::move(resolver)) {}

    Form form_;
    int code_;
    std::string_view fixed_;
    std::string resolver_; // the resolver's text, or the described message
};

// Fixed I/O messages shared by several writers.
inline constexpr std::string_view WRITE_ZERO_MESSAGE = "failed to write whole buffer";

// Why the Steamworks API could not be initialised, with the message it wrote.
class SteamAPIInitError {
  public:
    enum class Kind { Generic, NoSteamClient, VersionMismatch };

    SteamAPIInitError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

    Kind kind() const { return kind_; }
    const std::string& message() const { return message_; }
    // The fixed text of the kind; the message does not appear in it.
    std::string_view display() const;
    // The kind's name and the message in quoted form: 'NoSteamClient("no steam")'.
    std::string debug() const;

  private:
    Kind kind_;
    std::string message_;
};

enum class ErrorKind {
    SteamInit,
    CreateSocket,
    Send,
    Io,
    InvalidString,
    MissingArgument,
    ParseFailure,
    Message,
};

// The one error type of the broker and its child. It owns its payload and is
// moved, never copied. Names and messages must be constants of the program.
class BrokerError {
  public:
    static BrokerError steam_init(SteamAPIInitError e) { return BrokerError(std::move(e)); }
    static BrokerError create_socket(IoError e) {
        return BrokerError(ErrorKind::CreateSocket, std::move(e));
    }
    static BrokerError send(IoError e) { return BrokerError(ErrorKind::Send, std::move(e)); }
    static BrokerError io(IoError e) { return BrokerError(ErrorKind::Io, std::move(e)); }
    static BrokerError invalid_string(Utf8Error e) { return BrokerError(e); }
    static BrokerError missing_argument(std::string_view name) {
        return BrokerError(ErrorKind::MissingArgument, name);
    }
    static BrokerError parse_failure(std::string_view name) {
        return BrokerError(ErrorKind::ParseFailure, name);
    }
    static BrokerError message(std::string_view text) {
        return BrokerError(ErrorKind::Message, text);
    }
    // A message made at run time, such as one that carries Steam's result code.
    static BrokerError owned_message(std::string text) {
        return BrokerError(ErrorKind::Message, std::move(text));
    }

    BrokerError(BrokerError&&) = default;
    BrokerError& operator=(BrokerError&&) = default;
    BrokerError(const BrokerError&) = delete;
    BrokerError& operator=(const BrokerError&) = delete;

    // Appends the error's one-line text to `out`.
    void write_text(std::string& out) const;
    // The one-line text as a new string (a convenience over `write_text`).
    std::string text() const;

  private:
    BrokerError(ErrorKind kind, IoError e) : kind_(kind), payload_(std::move(e)) {}
    BrokerError(ErrorKind kind, std::string_view constant) : kind_(kind), payload_(constant) {}
    BrokerError(ErrorKind kind, std::string owned) : kind_(kind), payload_(std::move(owned)) {}
    explicit BrokerError(Utf8Error e) : kind_(ErrorKind::InvalidString), payload_(e) {}
    explicit BrokerError(SteamAPIInitError e)
        : kind_(ErrorKind::SteamInit), payload_(std::move(e)) {}

    ErrorKind kind_;
    std::variant<std::string_view, IoError, Utf8Error, SteamAPIInitError, std::string> payload_;
};

template <class T>
using IoResult = Result<T, IoError>;

} // namespace vandrel
