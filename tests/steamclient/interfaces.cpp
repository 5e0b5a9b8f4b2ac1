#include "interfaces.hpp"

#include "calllog.hpp"
#include "steam/standin/script.hpp"

#include <array>
#include <cstring>
#include <utility>

namespace vandrel::steamclient {

using namespace standin;

namespace {

constexpr const char* FAIL_VAR = "VANDREL_STEAMCLIENT_FAIL";
// Interfaces other than user and utilities that one process may ask for; the
// runtime asks for two (controller and input).
constexpr std::size_t MAX_OTHER_INTERFACES = 32;
constexpr std::size_t VERSION_CAPACITY = 64;

// A slot that returns 0 in the integer return register, which reads as 0,
// false or null for every integer, boolean and pointer result.
template <std::size_t N>
std::uint64_t zero_slot(const Object* self) {
    trace("%s slot %zu returns 0", self->version, N);
    return 0;
}

template <std::size_t... N>
constexpr std::array<std::uint64_t (*)(const Object*), SLOT_COUNT>
make_zero_slots(std::index_sequence<N...>) {
    return {&zero_slot<N>...};
}

constexpr auto ZERO_SLOTS = make_zero_slots(std::make_index_sequence<SLOT_COUNT>{});

// Fills every entry with a function that returns 0 and traces its slot number.
void fill_zero_slots(SlotTable& table) {
    for (std::size_t i = 0; i < SLOT_COUNT; ++i)
        table[i] = slot(ZERO_SLOTS[i]);
}

struct OtherInterface {
    Object object;
    char version[VERSION_CAPACITY];
};

Object* other_object(const char* version) {
    static SlotTable table;
    static OtherInterface others[MAX_OTHER_INTERFACES];
    static std::size_t count = 0;
    if (count == 0)
        fill_zero_slots(table);
    for (std::size_t i = 0; i < count; ++i) {
        if (std::strcmp(others[i].version, version) == 0)
            return &others[i].object;
    }
    const std::size_t len = std::strlen(version);
    if (count == MAX_OTHER_INTERFACES || len >= VERSION_CAPACITY) {
        report_error("no room for interface \"%s\"", version);
        return nullptr;
    }
    OtherInterface& other = others[count++];
    std::memcpy(other.version, version, len + 1);
    other.object = Object{table, other.version};
    return &other.object;
}

} // namespace

Object make_object(SlotTable& table, std::initializer_list<Entry> entries, const char* version) {
    fill_zero_slots(table);
    for (const Entry& entry : entries)
        table[entry.index] = entry.function;
    return Object{table, version};
}

Object* interface_object(const char* version) {
    if (version == nullptr) {
        report_error("interface asked for without a version");
        return nullptr;
    }
    if (std::strcmp(version, USER_VERSION) == 0)
        return scripted_failure() == Failure::NoUserInterface ? nullptr : user_object();
    if (std::strcmp(version, UTILS_VERSION) == 0)
        return scripted_failure() == Failure::NoUtilsInterface ? nullptr : utils_object();
    if (std::strcmp(version, NETWORKING_UTILS_VERSION) == 0)
        return networking_utils_object();
    return other_object(version);
}

Connection& connection() {
    static Connection state;
    return state;
}

Failure scripted_failure() {
    struct Name {
        const char* text;
        Failure failure;
    };
    static constexpr Name NAMES[] = {
        {"no_client_interface", Failure::NoClientInterface},
        {"no_pipe", Failure::NoPipe},
        {"no_user", Failure::NoUser},
        {"no_utils_interface", Failure::NoUtilsInterface},
        {"no_user_interface", Failure::NoUserInterface},
    };
    const char* text = env(FAIL_VAR);
    if (text == nullptr || *text == '\0')
        return Failure::None;
    for (const Name& name : NAMES) {
        if (std::strcmp(text, name.text) == 0)
            return name.failure;
    }
    report_error("%s=\"%s\" names no failure", FAIL_VAR, text);
    return Failure::None;
}

} // namespace vandrel::steamclient
