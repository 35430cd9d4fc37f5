#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace plovendale::cli {

/// A command line split into --name value options, --flags and positional arguments.
struct ParsedArguments {
    std::map<std::string, std::string> options;
    std::set<std::string> flags;
    std::vector<std::string> positional;
    /// The values of options that may repeat, in order.
    std::map<std::string, std::vector<std::string>> lists;

    std::optional<std::string> get(const std::string& name) const;
    bool has(const std::string& name) const { return flags.count(name) != 0; }
};

/// What a command accepts: options that take a value and flags that do not.
struct CommandSpec {
    std::set<std::string> valueOptions;
    std::set<std::string> flagOptions;
    std::size_t maxPositional = 0;
    /// Options that may be given more than once ("--param a=1 --param b=2").
    std::set<std::string> repeatedOptions = {};
    /// Options that take two values ("--revenue 9.99 EUR"), kept joined by one space.
    std::set<std::string> pairOptions = {};
};

/// Parses `args` (without the program and command names). On a usage error, returns nothing and
/// fills `error` with a message for stderr.
std::optional<ParsedArguments> parseArguments(const std::vector<std::string>& args,
                                              const CommandSpec& spec, std::string* error);

}  // namespace plovendale::cli
