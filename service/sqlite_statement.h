#pragma once

#include <sqlite3.h>

#include <string>

namespace plovendale::attribution_service {

/// A prepared statement that finalizes itself.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) stmt_ = nullptr;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    Statement& bind(int index, const std::string& text) {
        if (stmt_)
            sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                              SQLITE_TRANSIENT);
        return *this;
    }
    Statement& bind(int index, int value) {
        if (stmt_) sqlite3_bind_int(stmt_, index, value);
        return *this;
    }
    Statement& bind(int index, long long value) {
        if (stmt_) sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& bindReal(int index, double value) {
        if (stmt_) sqlite3_bind_double(stmt_, index, value);
        return *this;
    }
    Statement& bindNull(int index) {
        if (stmt_) sqlite3_bind_null(stmt_, index);
        return *this;
    }
    /// SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return stmt_ ? sqlite3_step(stmt_) : SQLITE_MISUSE; }
    /// Makes the statement ready to run again with new bindings.
    void reset() {
        if (!stmt_) return;
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::string text(int column) const {
        const auto* bytes = sqlite3_column_text(stmt_, column);
        return bytes ? std::string(reinterpret_cast<const char*>(bytes),
                                   static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)))
                     : std::string();
    }
    int integer(int column) const { return sqlite3_column_int(stmt_, column); }
    long long integer64(int column) const { return sqlite3_column_int64(stmt_, column); }
    double real(int column) const { return sqlite3_column_double(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace plovendale::attribution_service
