#pragma once

// The configuration store kept by the platform's settings: organisation "Tarv", application
// "Zephran", group "Console" (a per-user registry key on Windows, a per-user file elsewhere).
// Binary values are byte arrays.

#include "ConfigStore.h"

#include <memory>

class QSettings;

class TQSettingsConfigStore final : public IConfigStore {
public:
    TQSettingsConfigStore();
    ~TQSettingsConfigStore() override;
    TConfigValue Read(const std::string& name) const override;
    bool WriteString(const std::string& name, const std::string& value) override;
    bool WriteBinary(const std::string& name, const std::vector<std::uint8_t>& bytes) override;

private:
    std::unique_ptr<QSettings> settings_;
};
