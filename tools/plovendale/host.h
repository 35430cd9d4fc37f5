#pragma once

#include <memory>
#include <string>

#include "options.h"
#include "plovendale/sdk/plovendale.h"

namespace plovendale::cli {

/// Options shared by the commands that start the library the way a host does.
extern const std::set<std::string> kHostOptions;

/// Configures the platform from the options (data and bundle directories, pasteboard, device
/// facts). Returns false, with `error` filled, when an option value is malformed.
bool configureHost(const ParsedArguments& args, std::string* error);

/// Starts the library: initWithDelegate with --app-key when given, otherwise the property list's
/// key.
void startLibrary(const ParsedArguments& args,
                  const std::shared_ptr<PlovendaleDelegate>& delegate = nullptr);

}  // namespace plovendale::cli
