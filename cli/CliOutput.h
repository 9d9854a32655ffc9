#pragma once

// Output of zephran-admin: one JSON document, or aligned tables for people.

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

void PrintJson(const nlohmann::json& document);
// A table with aligned columns (widths counted in characters); the last column is not padded.
void PrintTable(const std::vector<std::vector<std::string>>& rows);
