#include "options.h"

namespace plovendale::cli {

std::optional<std::string> ParsedArguments::get(const std::string& name) const {
    auto it = options.find(name);
    if (it == options.end()) return std::nullopt;
    return it->second;
}

std::optional<ParsedArguments> parseArguments(const std::vector<std::string>& args,
                                              const CommandSpec& spec, std::string* error) {
    ParsedArguments parsed;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("--", 0) != 0 || arg == "--") {
            parsed.positional.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::optional<std::string> inlineValue;
        if (auto eq = name.find('='); eq != std::string::npos) {
            inlineValue = name.substr(eq + 1);
            name.resize(eq);
        }
        if (spec.flagOptions.count(name)) {
            if (inlineValue) {
                *error = "option --" + name + " takes no value";
                return std::nullopt;
            }
            parsed.flags.insert(name);
        } else if (spec.valueOptions.count(name) || spec.repeatedOptions.count(name) ||
                   spec.pairOptions.count(name)) {
            const bool pair = spec.pairOptions.count(name) != 0;
            if (i + (inlineValue ? 0 : 1) + (pair ? 1 : 0) >= args.size()) {
                *error = "option --" + name + (pair ? " needs two values" : " needs a value");
                return std::nullopt;
            }
            if (!inlineValue) inlineValue = args[++i];
            if (pair) *inlineValue += " " + args[++i];
            if (spec.repeatedOptions.count(name)) {
                parsed.lists[name].push_back(*inlineValue);
                continue;
            }
            if (parsed.options.count(name)) {
                *error = "option --" + name + " given twice";
                return std::nullopt;
            }
            parsed.options[name] = *inlineValue;
        } else {
            *error = "unknown option --" + name;
            return std::nullopt;
        }
    }
    if (parsed.positional.size() > spec.maxPositional) {
        *error = "unexpected argument '" + parsed.positional[spec.maxPositional] + "'";
        return std::nullopt;
    }
    return parsed;
}

}  // namespace plovendale::cli
