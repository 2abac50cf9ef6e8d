// The simulated layer's environment for tests, benchmarks and the children
// they start: the variables the layer reads, and a scope in which only those
// asked for are set. What the caller's environment held comes back when the
// scope ends, so that nothing a test set leaks into the next one, and
// nothing left in a developer's shell (a recording to replay, a bus) into a
// test.
#pragma once

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <utility>

namespace simtest {

// Every variable the simulated layer reads.
inline constexpr const char* kVariables[] = {
    "ASPISIM_BUS", "ASPISIM_LOG", "ASPISIM_REPLAY", "ASPISIM_STATE", "ASPISIM_TIME_SCALE",
};

// Whether an environment entry "NAME=VALUE" sets one of them.
inline bool sets_variable(const char* entry) {
    for (const char* name : kVariables) {
        const std::size_t n = std::strlen(name);
        if (std::strncmp(entry, name, n) == 0 && entry[n] == '=') return true;
    }
    return false;
}

class SimEnvironment {
public:
    // Clears every variable of the layer, then sets those given.
    explicit SimEnvironment(std::initializer_list<std::pair<const char*, std::string>> given = {}) {
        for (const char* name : kVariables) unset(name);
        for (const auto& [name, value] : given) set(name, value);
    }
    ~SimEnvironment() {
        for (const auto& [name, value] : saved_) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    SimEnvironment(const SimEnvironment&) = delete;
    SimEnvironment& operator=(const SimEnvironment&) = delete;

    void set(const char* name, const std::string& value) {
        save(name);
        setenv(name, value.c_str(), 1);
    }
    void unset(const char* name) {
        save(name);
        unsetenv(name);
    }

private:
    void save(const char* name) {
        if (saved_.count(name)) return;
        const char* had = std::getenv(name);
        saved_[name] = had ? std::optional<std::string>(had) : std::nullopt;
    }

    std::map<std::string, std::optional<std::string>> saved_;
};

}  // namespace simtest
