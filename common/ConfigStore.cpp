#include "ConfigStore.h"

namespace {
IConfigStore* g_store = nullptr;
}

IConfigStore* SetConfigStore(IConfigStore* store) {
    IConfigStore* previous = g_store;
    g_store = store;
    return previous;
}

IConfigStore* CurrentConfigStore() {
    return g_store;
}

TConfigValue TMemoryConfigStore::Read(const std::string& name) const {
    const auto it = values_.find(name);
    return it == values_.end() ? TConfigValue{} : it->second;
}

bool TMemoryConfigStore::WriteString(const std::string& name, const std::string& value) {
    if (refuseWrites_)
        return false;
    TConfigValue v;
    v.Kind = TConfigValueKind::String;
    v.Text = value;
    values_[name] = std::move(v);
    return true;
}

bool TMemoryConfigStore::WriteBinary(const std::string& name,
                                     const std::vector<std::uint8_t>& bytes) {
    if (refuseWrites_)
        return false;
    TConfigValue v;
    v.Kind = TConfigValueKind::Binary;
    v.Bytes = bytes;
    values_[name] = std::move(v);
    return true;
}
