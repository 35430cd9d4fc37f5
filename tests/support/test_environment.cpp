#include "support/test_environment.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "plovendale/platform/main_queue.h"

namespace plovendale::test {

TempDir::TempDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "plovendale-test-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void LogCapture::add(std::string_view line) {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

void writeInfoPlist(const std::string& directory, const std::map<std::string, std::string>& strings,
                    const std::map<std::string, std::string>& rawValues) {
    std::filesystem::create_directories(directory);
    std::ofstream out(directory + "/Info.plist");
    out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const auto& [key, value] : strings)
        out << "<key>" << key << "</key><string>" << value << "</string>\n";
    for (const auto& [key, raw] : rawValues) out << "<key>" << key << "</key>" << raw << "\n";
    out << "</dict>\n</plist>\n";
}

TestPlatform::TestPlatform(const std::map<std::string, std::string>& info)
    : log_(std::make_shared<LogCapture>()) {
    writeInfoPlist(bundleDirectory(), info);
    config_.dataDirectory = dataDirectory();
    config_.bundleDirectory = bundleDirectory();
    config_.pasteboard = makeInProcessPasteboard();
    config_.logSink = [log = log_](std::string_view line) { log->add(line); };
}

void TestPlatform::configure() {
    Platform::configure(config_);
}

std::string encodeKey(const std::string& key) {
    return "fffff" + key.substr(0, 5) + "ggg" + key.substr(5);
}

std::string encodeTrace(const std::string& trace) {
    return "hhh" + trace.substr(0, 10) + "iiiii" + trace.substr(10);
}

std::string pasteboardAnchor(const std::string& key, const std::string& trace,
                             const std::string& attributes) {
    return "<a " + attributes + "id=\"PLOVENDALE:" + encodeKey(key) + ":" + encodeTrace(trace) +
           "\" href=\"https://example.com\">open</a>";
}

bool runMainQueueUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return MainQueue::shared().runUntil(done, timeout);
}

}  // namespace plovendale::test
