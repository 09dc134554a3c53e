// The store a --db setting names: a PostgreSQL database (postgresql:// or
// postgres:// URI, or libpq's key=value form) or else an SQLite file.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "gateway/store.h"

namespace vela::gateway {

// `log` gets a line for anything the user should know (e.g. file modes tightened).
std::unique_ptr<Store> OpenStore(const std::string& db, const std::function<void(const std::string&)>& log = {});

// `db` as safe to log (a PostgreSQL password hidden).
std::string DisplayName(const std::string& db);

}  // namespace vela::gateway
