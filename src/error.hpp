// The program's error types and the result type every fallible function returns.
//
// Errors travel upwards by return value and become text exactly once, where they
// are reported; `BrokerError::write_text` is the only rendering there is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace vandrel {

// The error of an operating-system or library call: an errno, a fixed message
// of the program, or the resolver's failure text.
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

    // True when the call was interrupted by a signal and may simply be repeated.
    bool interrupted() const;
    // The errno, or 0 for the fixed and resolver forms.
    int os_code() const { return form_ == Form::Os ? code_ : 0; }
    void write_text(std::string& out) const;

  private:
    enum class Form { Os, Fixed, Resolver };
    IoError(Form form, int code, std::string_view fixed, std::string resolver)
        : form_(form), code_(code), fixed_(fixed), resolver_(std::move(resolver)) {}

    Form form_;
    int code_;
    std::string_view fixed_;
    std::string resolver_;
};

// Fixed I/O messages shared by several writers.
inline constexpr std::string_view WRITE_ZERO_MESSAGE = "failed to write whole buffer";

// Why bytes are not UTF-8: how many bytes before the fault were valid, and the
// length (1 to 3) of the invalid sequence, or none when the input ended inside
// a sequence that was valid so far.
struct Utf8Error {
    std::size_t valid_up_to = 0;
    std::optional<std::uint8_t> error_len;

    void write_text(std::string& out) const;
    bool operator==(const Utf8Error&) const = default;
};

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

    BrokerError(BrokerError&&) = default;
    BrokerError& operator=(BrokerError&&) = default;
    BrokerError(const BrokerError&) = delete;
    BrokerError& operator=(const BrokerError&) = delete;

    ErrorKind kind() const { return kind_; }
    // Appends the error's one-line text to `out`.
    void write_text(std::string& out) const;
    // The one-line text as a new string (a convenience over `write_text`).
    std::string text() const;

  private:
    BrokerError(ErrorKind kind, IoError e) : kind_(kind), payload_(std::move(e)) {}
    BrokerError(ErrorKind kind, std::string_view constant) : kind_(kind), payload_(constant) {}
    explicit BrokerError(Utf8Error e) : kind_(ErrorKind::InvalidString), payload_(e) {}
    explicit BrokerError(SteamAPIInitError e)
        : kind_(ErrorKind::SteamInit), payload_(std::move(e)) {}

    ErrorKind kind_;
    std::variant<std::string_view, IoError, Utf8Error, SteamAPIInitError> payload_;
};

// A value or an error. `Result<void>` carries only the error.
template <class T, class E = BrokerError>
class [[nodiscard]] Result {
  public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    const T& value() const& { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T&& operator*() && { return std::move(*this).value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }

    E& error() & { return std::get<1>(v_); }
    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

  private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
  public:
    Result() = default;
    Result(E error) : error_(std::move(error)) {}

    bool ok() const { return !error_.has_value(); }
    explicit operator bool() const { return ok(); }

    E& error() & { return *error_; }
    const E& error() const& { return *error_; }
    E&& error() && { return std::move(*error_); }

  private:
    std::optional<E> error_;
};

template <class T>
using IoResult = Result<T, IoError>;

} // namespace vandrel
