#include "store.h"

#include "identifiers.h"
#include "store_postgres.h"
#include "store_sqlite.h"

namespace plovendale::attribution_service {

bool isPostgresUri(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::string databaseForLog(const std::string& db) {
    if (!isPostgresUri(db)) return db;
    const std::size_t start = db.find("://") + 3;
    const std::size_t at = db.find('@', start);
    const std::size_t colon = db.find(':', start);
    if (at == std::string::npos || colon == std::string::npos || colon > at) return db;
    return db.substr(0, colon) + ":***" + db.substr(at);
}

std::unique_ptr<Store> openStore(const std::string& db, std::string& error,
                                 const StoreOptions& options) {
    if (isPostgresUri(db)) return PostgresStore::open(db, error, options.poolSize);
    return SqliteStore::open(db, error, options.busyWait);
}

std::optional<std::string> registerNewLink(Store& store, const std::string& appKey,
                                           const std::string& params, const std::string& channel,
                                           const LinkLanding* landing) {
    // 16 characters of 62 make a collision vanishingly rare; a few retries settle it for good.
    for (int attempt = 0; attempt < 5; ++attempt) {
        std::string traceId = newTraceId();
        switch (store.addLink(appKey, traceId, params, channel, landing)) {
            case RegisterOutcome::Registered:
                return traceId;
            case RegisterOutcome::TraceIdTaken:
                continue;
            case RegisterOutcome::Failed:
                return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace plovendale::attribution_service
