// The store a --db setting names: a PostgreSQL database (postgresql:// or
// postgres:// URI, or libpq's key=value form) or else an SQLite file.
#pragma once

#include <memory>
#include <string>

#include "gateway/store.h"

namespace vela::gateway {

std::unique_ptr<Store> OpenStore(const std::string& db);

// `db` as safe to log (a PostgreSQL password hidden).
std::string DisplayName(const std::string& db);

}  // namespace vela::gateway
