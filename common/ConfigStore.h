#pragma once

// The per-user configuration store: named values under the console's key, either text or
// binary. The console and the command-line tool install a store kept by the platform's
// settings; tests install the in-memory one.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

enum class TConfigValueKind { Missing, String, Binary, Other };

struct TConfigValue {
    TConfigValueKind Kind = TConfigValueKind::Missing;
    std::string Text;                // with Kind String (UTF-8)
    std::vector<std::uint8_t> Bytes; // with Kind Binary
};

class IConfigStore {
public:
    virtual ~IConfigStore() = default;
    virtual TConfigValue Read(const std::string& name) const = 0;
    // Both answer false when the store refuses the value.
    virtual bool WriteString(const std::string& name, const std::string& value) = 0;
    virtual bool WriteBinary(const std::string& name, const std::vector<std::uint8_t>& bytes) = 0;
};

// Installs the store used from now on (not owned); returns the previous one. With none
// installed, reads find nothing and writes are refused.
IConfigStore* SetConfigStore(IConfigStore* store);
IConfigStore* CurrentConfigStore();

class TMemoryConfigStore final : public IConfigStore {
public:
    TConfigValue Read(const std::string& name) const override;
    bool WriteString(const std::string& name, const std::string& value) override;
    bool WriteBinary(const std::string& name, const std::vector<std::uint8_t>& bytes) override;

    // Test seams: values of any kind, and a store that refuses every write.
    void Put(const std::string& name, TConfigValue value) { values_[name] = std::move(value); }
    void SetRefuseWrites(bool refuse) { refuseWrites_ = refuse; }
    const std::map<std::string, TConfigValue>& Values() const { return values_; }

private:
    std::map<std::string, TConfigValue> values_;
    bool refuseWrites_ = false;
};
