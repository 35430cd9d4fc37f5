// The landing page of a link: what a person who taps a shared link sees. It leaves the pasteboard
// anchor for the app's first launch and sends the visitor on to the store or site of their
// platform.

#include "landing.h"

#include <algorithm>
#include <cctype>

#include "identifiers.h"

namespace plovendale::attribution_service {
namespace {

using nlohmann::json;

std::size_t characters(std::string_view text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

// Preview fetchers of the common chat, social and search services. Matched case-insensitively
// anywhere in the User-Agent.
constexpr std::string_view kCrawlers[] = {"facebookexternalhit",
                                          "facebookcatalog",
                                          "facebot",
                                          "twitterbot",
                                          "slackbot",
                                          "slack-imgproxy",
                                          "linkedinbot",
                                          "whatsapp",
                                          "telegrambot",
                                          "discordbot",
                                          "googlebot",
                                          "google-inspectiontool",
                                          "bingbot",
                                          "applebot",
                                          "skypeuripreview",
                                          "redditbot",
                                          "embedly",
                                          "pinterest",
                                          "vkshare",
                                          "iframely",
                                          "mastodon",
                                          "microsoftpreview"};

constexpr const char* kStyle =
    "body{font:16px/1.5 system-ui,sans-serif;margin:0;padding:2em 1em;color:#222;"
    "background:#fafafa;text-align:center}main{max-width:32em;margin:0 auto}"
    "h1{font-size:1.4em}button{font:inherit;font-size:1.1em;padding:.7em 1.6em;border:0;"
    "border-radius:.5em;background:#1a62d6;color:#fff;cursor:pointer}"
    "button:disabled{opacity:.6}p{margin:1em 0}#status{color:#555}";

// Values reach the script through data- attributes only, so nothing a link carries is ever part
// of the script's text.
constexpr const char* kScript = R"js("use strict";
(function () {
  var body = document.body;
  var button = document.getElementById("open-app");
  var status = document.getElementById("status");
  var click = body.getAttribute("data-click");
  var destination = body.getAttribute("data-destination");
  var anchor = body.getAttribute("data-anchor");
  if (click) {
    var zone = "";
    try { zone = Intl.DateTimeFormat().resolvedOptions().timeZone || ""; } catch (e) {}
    fetch(location.pathname.replace(/\/+$/, "") + "/beacon", {
      method: "POST", credentials: "omit", keepalive: true,
      headers: {"Content-Type": "application/json"},
      body: JSON.stringify({click: click, screen_width: Math.round(screen.width),
                            screen_height: Math.round(screen.height),
                            pixel_ratio: window.devicePixelRatio || 1, time_zone: zone,
                            language: navigator.language || ""})
    }).catch(function () {});
  }
  function copyAnchor() {
    if (!anchor || !navigator.clipboard || typeof ClipboardItem === "undefined")
      return Promise.resolve(false);
    var item = new ClipboardItem({
      "text/html": new Blob([anchor], {type: "text/html"}),
      "text/plain": new Blob([anchor], {type: "text/plain"})
    });
    return navigator.clipboard.write([item]).then(function () { return true; },
                                                  function () { return false; });
  }
  button.addEventListener("click", function () {
    button.disabled = true;
    copyAnchor().then(function (copied) {
      body.setAttribute("data-copied", copied ? "yes" : "no");
      if (destination) {
        location.href = destination;
      } else {
        status.textContent = "This link leads nowhere for your device.";
        button.disabled = false;
      }
    });
  });
})();
)js";

std::string policy(const std::string& nonce) {
    return "default-src 'none'; script-src 'nonce-" + nonce + "'; style-src 'nonce-" + nonce +
           "'; connect-src 'self'; img-src 'none'; base-uri 'none'; form-action 'none'; "
           "frame-ancestors 'none'";
}

std::optional<std::string> checkUrl(const std::string& name, const std::string& url) {
    if (url.empty() || isWebUrl(url)) return std::nullopt;
    return name + " must be an absolute http or https URL of at most " +
           std::to_string(kMaxDestinationBytes) + " bytes";
}

}  // namespace

bool isWebUrl(std::string_view url) {
    if (url.size() > kMaxDestinationBytes) return false;
    const std::string head = lower(url.substr(0, 8));
    std::size_t start = 0;
    if (head.rfind("https://", 0) == 0) {
        start = 8;
    } else if (head.rfind("http://", 0) == 0) {
        start = 7;
    } else {
        return false;
    }
    // A host must follow; nothing outside printable ASCII (spaces and non-ASCII travel escaped).
    if (start >= url.size() || url[start] == '/' || url[start] == '?' || url[start] == '#')
        return false;
    return std::all_of(url.begin(), url.end(), [](char c) { return c > 0x20 && c < 0x7f; });
}

std::optional<std::string> checkLanding(const LinkLanding& landing) {
    for (const auto& [name, url] :
         {std::pair<std::string, const std::string*>{"destinations.ios", &landing.ios},
          {"destinations.android", &landing.android},
          {"destinations.default", &landing.fallback},
          {"preview.image", &landing.image}}) {
        if (auto error = checkUrl(name, *url)) return error;
    }
    if (characters(landing.title) > kMaxTitleCharacters)
        return "preview.title must be at most " + std::to_string(kMaxTitleCharacters) +
               " characters";
    if (characters(landing.description) > kMaxDescriptionCharacters)
        return "preview.description must be at most " + std::to_string(kMaxDescriptionCharacters) +
               " characters";
    return std::nullopt;
}

std::optional<std::string> readLanding(const json& body, LinkLanding& landing, bool& present) {
    present = false;
    const std::pair<const char*, std::vector<std::pair<const char*, std::string*>>> groups[] = {
        {"destinations",
         {{"ios", &landing.ios}, {"android", &landing.android}, {"default", &landing.fallback}}},
        {"preview",
         {{"title", &landing.title},
          {"description", &landing.description},
          {"image", &landing.image}}}};
    for (const auto& [group, members] : groups) {
        const auto it = body.find(group);
        if (it == body.end()) continue;
        present = true;
        if (!it->is_object()) return std::string(group) + " must be an object";
        for (const auto& [name, value] : it->items()) {
            const auto member = std::find_if(members.begin(), members.end(),
                                             [&](const auto& m) { return name == m.first; });
            const std::string path = std::string(group) + "." + name;
            if (member == members.end()) return path + " is not a known member";
            if (!value.is_string()) return path + " must be a string";
            *member->second = value.get<std::string>();
        }
    }
    return checkLanding(landing);
}

bool isPreviewCrawler(std::string_view userAgent) {
    const std::string agent = lower(userAgent.substr(0, 1024));
    return std::any_of(std::begin(kCrawlers), std::end(kCrawlers), [&](std::string_view name) {
        return agent.find(name) != std::string::npos;
    });
}

std::string destinationFor(const LinkLanding& landing, const std::string& platform) {
    if (platform == "ios" && !landing.ios.empty()) return landing.ios;
    if (platform == "android" && !landing.android.empty()) return landing.android;
    return landing.fallback;
}

std::string pasteboardAnchor(const std::string& appKey, const std::string& traceId,
                             const std::string& href) {
    // Keys and trace identifiers are ASCII, so positions in bytes are the reader's positions.
    if (appKey.size() < 6 || traceId.size() < 11) return "";
    const auto filler = [](std::size_t count) { return newTraceId().substr(0, count); };
    const std::string dk = filler(5) + appKey.substr(0, 5) + filler(3) + appKey.substr(5);
    const std::string dt = filler(3) + traceId.substr(0, 10) + filler(5) + traceId.substr(10);
    // The id comes first: the reader takes the first attribute whose name ends in "id".
    return "<a id=\"PLOVENDALE:" + dk + ":" + dt + "\" href=\"" + escapeHtml(href) +
           "\">Open the app</a>";
}

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::pair<std::string, std::string> landingPageHtml(const LandingPage& page) {
    const std::string nonce = newTraceId() + newTraceId();
    const LinkLanding& landing = page.landing;
    const std::string title = escapeHtml(landing.title.empty() ? "Open the app" : landing.title);
    const std::string description = escapeHtml(landing.description);
    const std::string anchor = pasteboardAnchor(
        page.appKey, page.traceId, page.destination.empty() ? page.landingUrl : page.destination);
    std::string html =
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<meta name=\"robots\" content=\"noindex\">\n<title>" +
        title + "</title>\n";
    html += "<meta property=\"og:type\" content=\"website\">\n";
    html += "<meta property=\"og:title\" content=\"" + title + "\">\n";
    html += "<meta property=\"og:description\" content=\"" + description + "\">\n";
    if (!landing.image.empty())
        html += "<meta property=\"og:image\" content=\"" + escapeHtml(landing.image) + "\">\n";
    html += "<meta property=\"og:url\" content=\"" + escapeHtml(page.landingUrl) + "\">\n";
    html += "<meta name=\"description\" content=\"" + description + "\">\n";
    html += "<style nonce=\"" + nonce + "\">" + kStyle + "</style>\n</head>\n";
    html += "<body data-click=\"" + escapeHtml(page.clickId) + "\" data-destination=\"" +
            escapeHtml(page.destination) + "\" data-anchor=\"" + escapeHtml(anchor) +
            "\">\n<main>\n";
    html += "<h1>" + title + "</h1>\n";
    if (!description.empty()) html += "<p id=\"description\">" + description + "</p>\n";
    html += "<p><button id=\"open-app\" type=\"button\">Open the app</button></p>\n";
    if (page.destination.empty()) {
        html += "<p id=\"status\">This link leads nowhere for your device.</p>\n";
    } else {
        html += "<p id=\"status\"><a id=\"destination\" href=\"" + escapeHtml(page.destination) +
                "\">Continue without opening the app</a></p>\n";
    }
    html += "</main>\n<script nonce=\"" + nonce + "\">" + kScript + "</script>\n</body></html>\n";
    return {html, policy(nonce)};
}

std::pair<std::string, std::string> missingLinkHtml() {
    const std::string nonce = newTraceId();
    return {
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
        "<title>Link not found</title>\n<style nonce=\"" +
            nonce + "\">" + kStyle +
            "</style></head>\n<body><main><h1>Link not found</h1>\n"
            "<p>This link does not exist, or no longer does.</p></main></body></html>\n",
        policy(nonce)};
}

}  // namespace plovendale::attribution_service
