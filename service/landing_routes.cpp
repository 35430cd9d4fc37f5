// The web side of a link: its landing page, the page's beacon, the clicks they record, and the
// fingerprint match of an install against those clicks.

#include <algorithm>
#include <charconv>
#include <chrono>
#include <nlohmann/json.hpp>

#include "identifiers.h"
#include "json_body.h"
#include "landing.h"
#include "matching.h"
#include "money.h"
#include "request_log.h"
#include "route_helpers.h"
#include "service.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

// What a click keeps of its request headers; longer values are cut.
constexpr std::size_t kMaxUserAgentBytes = 512;
constexpr std::size_t kMaxAcceptLanguageBytes = 256;
constexpr std::size_t kMaxBeaconTextBytes = 64;
constexpr long long kMaxScreenCssPixels = 100000;
constexpr double kMaxPixelRatio = 16;

long long nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void replyHtml(httplib::Response& res, int status,
               const std::pair<std::string, std::string>& page) {
    res.status = status;
    res.set_header("Content-Security-Policy", page.second);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    // Every load is a click, so no cache may answer for the service.
    res.set_header("Cache-Control", "no-store");
    res.set_content(page.first, "text/html; charset=utf-8");
}

std::optional<long long> wholeNumber(const json& value, long long min, long long max) {
    if (!value.is_number_integer()) return std::nullopt;
    if (value.is_number_unsigned() &&
        value.get<unsigned long long>() > static_cast<unsigned long long>(max))
        return std::nullopt;
    const long long n = value.get<long long>();
    if (n < min || n > max) return std::nullopt;
    return n;
}

/// The beacon of a body, or the reason it is not one.
std::optional<Beacon> beaconOf(const json& body, std::string& clickId, std::string& error) {
    Beacon beacon;
    const auto text = [&](const char* name, std::string& out) {
        const auto value = stringMember(body, name);
        if (!value || value->size() > kMaxBeaconTextBytes) {
            error = std::string(name) + " must be a string of at most " +
                    std::to_string(kMaxBeaconTextBytes) + " bytes";
            return false;
        }
        out = *value;
        return true;
    };
    if (!text("click", clickId) || !text("time_zone", beacon.timeZone) ||
        !text("language", beacon.language))
        return std::nullopt;
    for (const auto& [name, out] :
         {std::pair<const char*, int*>{"screen_width", &beacon.screenWidth},
          {"screen_height", &beacon.screenHeight}}) {
        const auto it = body.find(name);
        const auto n = it == body.end() ? std::nullopt : wholeNumber(*it, 0, kMaxScreenCssPixels);
        if (!n) {
            error = std::string(name) + " must be a whole number from 0 to " +
                    std::to_string(kMaxScreenCssPixels);
            return std::nullopt;
        }
        *out = static_cast<int>(*n);
    }
    const auto ratio = body.find("pixel_ratio");
    if (ratio == body.end() || !ratio->is_number() || !(ratio->get<double>() > 0) ||
        ratio->get<double>() > kMaxPixelRatio) {
        error = "pixel_ratio must be a number above 0 and at most 16";
        return std::nullopt;
    }
    beacon.pixelRatio = ratio->get<double>();
    return beacon;
}

}  // namespace

json clickJson(const Click& click) {
    const auto nullable = [](const auto& value) { return value ? json(*value) : json(nullptr); };
    return {{"click_id", click.clickId},
            {"trace_id", click.traceId},
            {"address", click.address},
            {"user_agent", click.userAgent},
            {"accept_language", click.acceptLanguage},
            {"platform", click.platform},
            {"screen_width", nullable(click.screenWidth)},
            {"screen_height", nullable(click.screenHeight)},
            {"pixel_ratio", nullable(click.pixelRatio)},
            {"time_zone", nullable(click.timeZone)},
            {"language", nullable(click.language)},
            {"credited_ci", click.creditedCi},
            {"received_at", click.receivedAt}};
}

bool addLinkViews(Store& store, const std::string& key, int rows, json& answer) {
    json funnels = json::array();
    json clicks = json::array();
    if (!key.empty()) {
        const auto linkFunnels = store.funnels(key, rows);
        const auto recentClicks = store.recentClicks(key, rows);
        if (!linkFunnels || !recentClicks) return false;
        for (const LinkFunnel& funnel : *linkFunnels) {
            json revenue = json::object();
            for (const auto& [currency, amount] : funnel.revenue)
                revenue[currency] = formatAmount(amount);
            funnels.push_back({{"trace_id", funnel.traceId},
                               {"channel", funnel.channel},
                               {"clicks", funnel.clicks},
                               {"installs", funnel.installs},
                               {"events", funnel.events},
                               {"revenue", revenue}});
        }
        for (const Click& click : *recentClicks) clicks.push_back(clickJson(click));
    }
    answer["funnels"] = funnels;
    answer["clicks"] = clicks;
    return true;
}

std::string Service::landingUrl(const std::string& key, const std::string& traceId) const {
    return settings_.publicUrl + "/l/" + key + "/" + traceId;
}

void Service::handleLanding(const httplib::Request& req, httplib::Response& res) {
    const std::string key = req.matches.size() > 2 ? req.matches[1].str() : std::string();
    const std::string traceId = req.matches.size() > 2 ? req.matches[2].str() : std::string();
    Lookup<LandingLink> lookup;
    if (isValidAppKey(key) && isValidTraceId(traceId))
        lookup = store_.findLandingLink(key, traceId);
    if (lookup.failed) {
        writeLogLine("error: could not look up a link: " + store_.lastError());
        replyHtml(res, 503, missingLinkHtml());
        res.set_header("Retry-After", "1");
        return;
    }
    const std::optional<LandingLink>& found = lookup.found;
    if (!found) {
        replyHtml(res, 404, missingLinkHtml());
        return;
    }
    const std::string userAgent = req.get_header_value("User-Agent").substr(0, kMaxUserAgentBytes);
    const std::string platform = platformOfUserAgent(userAgent);
    LandingPage page{
        key, traceId,       landingUrl(key, traceId), destinationFor(found->landing, platform),
        "",  found->landing};
    // A preview fetch and a HEAD are no visit.
    if (req.method == "GET" && !isPreviewCrawler(userAgent)) {
        Click click;
        click.clickId = newTraceId();
        click.traceId = traceId;
        click.address = clientAddress(req, settings_.trustedProxies);
        click.userAgent = userAgent;
        click.acceptLanguage =
            req.get_header_value("Accept-Language").substr(0, kMaxAcceptLanguageBytes);
        click.platform = platform;
        click.receivedAt = utcTimestamp();
        click.receivedMs = nowMs();
        const long long expired =
            click.receivedMs -
            std::chrono::duration_cast<std::chrono::milliseconds>(settings_.clickRetention).count();
        // The click is on disk before the visitor can act on the page; unrecorded, the page
        // would lead to installs no click accounts for.
        if (!store_.addClick(key, click, expired)) {
            writeLogLine("error: could not record a click: " + store_.lastError());
            replyHtml(res, 503, missingLinkHtml());
            res.set_header("Retry-After", "1");
            return;
        }
        page.clickId = click.clickId;
    }
    replyHtml(res, 200, landingPageHtml(page));
}

void Service::handleBeacon(const httplib::Request& req, httplib::Response& res) {
    const std::string key = req.matches.size() > 2 ? req.matches[1].str() : std::string();
    const std::string traceId = req.matches.size() > 2 ? req.matches[2].str() : std::string();
    if (!isValidAppKey(key) || !isValidTraceId(traceId)) {
        replyError(res, 404, "unknown link");
        return;
    }
    if (req.get_header_value("Content-Type").rfind("application/json", 0) != 0) {
        replyError(res, 415, "send the beacon as application/json");
        return;
    }
    const auto body = objectBodyOf(req, res);
    if (!body) return;
    std::string clickId;
    std::string error;
    const auto beacon = beaconOf(*body, clickId, error);
    if (!beacon) {
        replyError(res, 400, error);
        return;
    }
    switch (store_.addBeacon(key, traceId, clickId, *beacon)) {
        case BeaconOutcome::Stored:
            replyJson(res, 200, json{{"status", 200}});
            return;
        case BeaconOutcome::UnknownClick:
            replyError(res, 404, "unknown click");
            return;
        case BeaconOutcome::AlreadySent:
            replyError(res, 409, "this click already has its beacon");
            return;
        case BeaconOutcome::Failed:
            writeLogLine("error: could not record a beacon: " + store_.lastError());
            replyUnavailable(res, "could not store the beacon");
            return;
    }
}

void Service::handleListClicks(const httplib::Request& req, httplib::Response& res) {
    const auto key = appKeyOf(req, res);
    const auto page = key ? pageOf(req, res) : std::nullopt;
    if (!page) return;
    json list = json::array();
    long long cursor = 0;
    const auto rows = store_.clicks(*key, *page);
    if (!rows) {
        writeLogLine("error: could not read the clicks: " + store_.lastError());
        replyUnavailable(res, "could not read the clicks");
        return;
    }
    for (const Click& click : *rows) {
        cursor = click.rowId;
        list.push_back(clickJson(click));
    }
    replyPage(res, list, *page, cursor);
}

bool Service::recordInstall(const httplib::Request& req, const std::string& key, const json& body,
                            InstallRequest& record) {
    const std::string address = clientAddress(req, settings_.trustedProxies);
    // A click needs a client to be credited to; without a window the method is off.
    if (!record.traceId.empty() || settings_.matchWindow.count() == 0 || record.ci.empty()) {
        // A marker's install also takes its click, which otherwise waits for a fingerprint.
        auto recorded = store_.addInstallRequest(key, record, address);
        if (!recorded) return false;
        record = std::move(*recorded);
        return true;
    }
    InstallFingerprint fingerprint;
    fingerprint.os = stringMember(body, "os").value_or("");
    fingerprint.osVersion = stringMember(body, "osvn").value_or("");
    fingerprint.model = stringMember(body, "md").value_or("");
    fingerprint.language = stringMember(body, "lang").value_or("");
    fingerprint.timeZone = stringMember(body, "tz").value_or("");
    for (const auto& [name, out] :
         {std::pair<const char*, long long*>{"sw", &fingerprint.screenWidth},
          {"sh", &fingerprint.screenHeight}}) {
        // A screen the query cannot say is no evidence either way.
        const std::string text = stringMember(body, name).value_or("");
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
        if (ec != std::errc() || end != text.data() + text.size()) *out = 0;
    }
    using std::chrono::milliseconds;
    const long long now = nowMs();
    const long long since =
        now - std::chrono::duration_cast<milliseconds>(settings_.matchWindow).count();
    const long long crowdSince =
        now - std::chrono::duration_cast<milliseconds>(
                  std::max<std::chrono::seconds>(kCrowdHorizon, settings_.matchWindow))
                  .count();
    bool stored = false;
    store_.addFingerprintInstallRequest(
        key, record, address, since, crowdSince,
        [&](const std::vector<Click>& candidates, std::size_t visitors) {
            return chooseClick(fingerprint, candidates, visitors);
        },
        stored);
    return stored;
}

}  // namespace plovendale::attribution_service
