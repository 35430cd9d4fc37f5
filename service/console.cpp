// The live console: a page with everything inline (no script or style from elsewhere, nothing to
// build) and the one JSON answer it polls.

#include <nlohmann/json.hpp>

#include "identifiers.h"
#include "json_body.h"
#include "request_log.h"
#include "route_helpers.h"
#include "service.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

constexpr int kConsoleRows = 50;
constexpr int kConsoleApps = 100;

// Every value reaches the page through textContent, never as markup: params, names and client
// identifiers are whatever a device sent.
constexpr const char* kPage = R"html(<!doctype html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>attribution-service console</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:1em 2em;color:#222;background:#fafafa}
h1{font-size:1.3em}h2{font-size:1.05em;margin:1.4em 0 .4em}
table{border-collapse:collapse;width:100%;background:#fff}
th,td{border:1px solid #ddd;padding:3px 6px;text-align:left;vertical-align:top;font-family:ui-monospace,monospace;font-size:12px}
th{background:#eee}#status{color:#666;margin-left:1em}.bad{color:#b00}
</style></head><body>
<h1>attribution-service console
<select id="app" aria-label="app key"></select><span id="status">connecting…</span></h1>
<form id="login" hidden><label>Operator token <input id="token" type="password" autocomplete="off"></label>
<button>Show</button></form>
<h2>Summary by channel</h2>
<table id="summary"><thead><tr><th>channel</th><th>installs</th><th>events</th><th>revenue</th></tr></thead><tbody></tbody></table>
<h2>Links: clicks to installs</h2>
<table id="funnels"><thead><tr><th>trace</th><th>channel</th><th>clicks</th><th>installs: bundle</th><th>pasteboard</th><th>fingerprint</th><th>events</th><th>revenue</th></tr></thead><tbody></tbody></table>
<h2>Clicks (newest first)</h2>
<table id="clicks"><thead><tr><th>received</th><th>trace</th><th>address</th><th>platform</th><th>screen</th><th>language</th><th>credited to</th><th>user agent</th></tr></thead><tbody></tbody></table>
<h2>Installs (newest first)</h2>
<table id="installs"><thead><tr><th>received</th><th>client id</th><th>trace</th><th>link params</th><th>channel</th><th>outcome</th></tr></thead><tbody></tbody></table>
<h2>State reports</h2>
<table id="states"><thead><tr><th>received</th><th>client id</th><th>code</th><th>success (ms flag: 1/0)</th><th>message</th></tr></thead><tbody></tbody></table>
<h2>Events</h2>
<table id="events"><thead><tr><th>received</th><th>client id</th><th>id</th><th>name</th><th>params</th><th>revenue</th></tr></thead><tbody></tbody></table>
<script>
"use strict";
const appSelect = document.getElementById("app");
let chosen = new URLSearchParams(location.search).get("app") || "";
appSelect.onchange = () => { chosen = appSelect.value; };
function fill(id, rows) {
  const body = document.querySelector("#" + id + " tbody");
  body.replaceChildren(...rows.map(cells => {
    const tr = document.createElement("tr");
    for (const cell of cells) {
      const td = document.createElement("td");
      td.textContent = cell;
      tr.appendChild(td);
    }
    return tr;
  }));
}
function money(revenue) {
  return Object.entries(revenue || {}).map(([currency, amount]) => amount + " " + currency).join(", ");
}
function outcome(install) {
  if (install.status !== 200) return "not yet (" + install.status + ")";
  return install.trace_id ? "attributed" + (install.match ? " (" + install.match + ")" : "") : "organic";
}
function show(data) {
  const apps = data.apps.includes(data.app) || !data.app ? data.apps : [data.app, ...data.apps];
  if (appSelect.options.length !== apps.length || [...appSelect.options].some((o, i) => o.value !== apps[i])) {
    appSelect.replaceChildren(...apps.map(key => new Option(key, key)));
  }
  appSelect.value = data.app;
  const s = data.summary;
  fill("summary", [...s.channels.map(c => [c.channel, c.installs, c.events, money(c.revenue)]),
                   ["(organic)", s.organic.installs, s.organic.events, money(s.organic.revenue)],
                   ["(unknown client)", "", s.unknown.events, money(s.unknown.revenue)]]);
  fill("funnels", data.funnels.map(f => [f.trace_id, f.channel, f.clicks, f.installs.bundle || 0,
                                         f.installs.pasteboard || 0, f.installs.fingerprint || 0,
                                         f.events, money(f.revenue)]));
  fill("clicks", data.clicks.map(c => [c.received_at, c.trace_id, c.address, c.platform,
                                       c.screen_width === null ? "" : c.screen_width + "x" + c.screen_height + "@" + c.pixel_ratio,
                                       c.language || c.accept_language, c.credited_ci, c.user_agent]));
  fill("installs", data.installs.map(i => [i.received_at, i.ci, i.trace_id, i.params, i.channel, outcome(i)]));
  fill("states", data.states.map(r => [r.received_at, r.ci, r.cd, r.ms, r.msg]));
  fill("events", data.events.map(e => [e.received_at, e.ci, e.id, e.name, JSON.stringify(e.params),
                                       e.revenue ? e.revenue.amount + " " + e.revenue.currency : ""]));
}
// The operator token is asked for once and kept for this tab's session only.
const login = document.getElementById("login");
let token = sessionStorage.getItem("operatorToken") || "";
login.onsubmit = event => {
  event.preventDefault();
  token = document.getElementById("token").value.trim();
  sessionStorage.setItem("operatorToken", token);
  login.hidden = true;
  poll();
};
function askForToken(why) {
  token = "";
  sessionStorage.removeItem("operatorToken");
  login.hidden = false;
  const status = document.getElementById("status");
  status.textContent = why;
  status.className = "bad";
}
async function poll() {
  const status = document.getElementById("status");
  if (!token) {
    askForToken("the console needs the operator token");
    return;
  }
  try {
    const answer = await fetch("/api/console?app=" + encodeURIComponent(chosen),
                               {cache: "no-store", headers: {Authorization: "Bearer " + token}});
    if (answer.status === 401) {
      askForToken("the operator token was refused");
      return;
    }
    if (!answer.ok) throw new Error("HTTP " + answer.status);
    show(await answer.json());
    status.textContent = "updated " + new Date().toISOString().slice(0, 19) + "Z";  // UTC, as the rows
    status.className = "";
  } catch (e) {
    status.textContent = "cannot reach the service: " + e.message;
    status.className = "bad";
  }
  setTimeout(poll, 1000);
}
poll();
</script></body></html>
)html";

/// A client id as the console shows it: enough to tell clients apart on screen, not enough to
/// speak for one.
std::string shortClientId(const std::string& ci) {
    constexpr std::size_t kShown = 8;
    return ci.size() <= kShown ? ci : ci.substr(0, kShown) + "\u2026";
}

}  // namespace

const std::string& consolePage() {
    static const std::string page = kPage;
    return page;
}

void Service::handleConsoleData(const httplib::Request& req, httplib::Response& res) {
    const auto unavailable = [&] {
        writeLogLine("error: could not read the console's views: " + store_.lastError());
        replyUnavailable(res, "could not read the database");
    };
    const auto apps = store_.appKeys(kConsoleApps);
    if (!apps) return unavailable();
    std::string key = req.get_param_value("app");
    if (key.empty() && !apps->empty()) key = apps->front();
    json answer = {{"app", key}, {"apps", *apps}};
    json installs = json::array();
    json states = json::array();
    json events = json::array();
    Summary summary;
    if (isValidAppKey(key)) {
        const auto recentInstalls = store_.recentInstalls(key, kConsoleRows);
        const auto recentStates = store_.recentStateReports(key, kConsoleRows);
        const auto recentEvents = store_.recentEvents(key, kConsoleRows);
        const auto totals = store_.summary(key);
        if (!recentInstalls || !recentStates || !recentEvents || !totals) return unavailable();
        for (const InstallView& install : *recentInstalls) {
            installs.push_back({{"ci", shortClientId(install.ci)},
                                {"trace_id", install.traceId},
                                {"params", install.params},
                                {"channel", install.channel},
                                {"status", install.answeredStatus},
                                {"match", install.match},
                                {"received_at", install.receivedAt}});
        }
        for (const StateReport& report : *recentStates) {
            states.push_back({{"ci", shortClientId(report.ci)},
                              {"cd", report.cd},
                              {"ms", report.ms},
                              {"msg", report.msg},
                              {"received_at", report.receivedAt}});
        }
        for (const Event& event : *recentEvents) {
            json item = eventJson(event);
            item["ci"] = shortClientId(event.ci);
            events.push_back(std::move(item));
        }
        summary = *totals;
    }
    answer["installs"] = installs;
    answer["states"] = states;
    answer["events"] = events;
    answer["summary"] = summaryJson(key, summary);
    if (!addLinkViews(store_, isValidAppKey(key) ? key : "", kConsoleRows, answer))
        return unavailable();
    replyJson(res, 200, answer);
}

}  // namespace plovendale::attribution_service
