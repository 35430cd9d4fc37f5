#include "store.h"

#include "identifiers.h"
#include "store_sqlite.h"

namespace plovendale::attribution_service {

bool isPostgresUri(const std::string& db) {
    return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Store> openStore(const std::string& db, std::string& error,
                                 const StoreOptions& options) {
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
