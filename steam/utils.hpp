// The runtime's utilities: the AppID it runs under.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vandrel::steam {

class Client;
class Inner;

// A Steam application identifier.
struct AppId {
    std::uint32_t value = 0;

    // "AppId(480)".
    std::string debug() const;
    bool operator==(const AppId&) const = default;
};

// The runtime's utilities interface. Obtained from Client::utils; it holds a
// reference that keeps the runtime initialised while it lives.
class Utils {
  public:
    // The AppID the runtime actually runs under.
    AppId app_id() const;

  private:
    friend class Client;
    Utils(std::shared_ptr<const Inner> inner, void* handle)
        : inner_(std::move(inner)), handle_(handle) {}

    std::shared_ptr<const Inner> inner_;
    void* handle_;
};

} // namespace vandrel::steam
