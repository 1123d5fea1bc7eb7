#include "command_line.h"

#include "tool_error.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace pitool {
namespace {

// The tool's own help is the overview; each command's is made by CLI11,
// with the usage line first, as in the overview.
class OverviewFormatter : public CLI::Formatter {
  public:
    explicit OverviewFormatter(std::string overview) : m_overview(std::move(overview)) {}
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        if (app->get_parent() == nullptr)
            return m_overview;
        return make_usage(app, std::move(name)) + "\n" + make_description(app) +
               make_positionals(app) + make_groups(app, mode) + "\n" + make_footer(app);
    }
    // The commands check their positionals themselves, with their own
    // messages: in the usage line, only those that may take no value at all
    // are optional.
    std::string make_option_usage(const CLI::Option* option) const override {
        std::string usage = make_option_name(option, true);
        if (option->get_expected_max() >= CLI::detail::expected_max_vector_size)
            usage += "...";
        return option->get_expected_min() == 0 ? "[" + usage + "]" : usage;
    }

  private:
    std::string m_overview;
};

const CLI::App* FindCommand(const CLI::App& app, const std::string& name) {
    for (const CLI::App* command : app.get_subcommands({}))
        if (command->check_name(name))
            return command;
    return nullptr;
}

const CLI::Option* ValueOption(const CLI::App* command, const std::string& name) {
    const CLI::Option* option = command->get_option_no_throw(name);
    return option != nullptr && option->get_items_expected_min() > 0 ? option : nullptr;
}

} // namespace

CommandLine::CommandLine(std::string tool, std::string overview)
    : m_tool(std::move(tool)), m_overview(std::move(overview)), m_app("", m_tool) {
    auto formatter = std::make_shared<OverviewFormatter>(m_overview);
    formatter->column_width(28);
    m_app.formatter(formatter);
    m_app.require_subcommand(0, 1);
    m_app.allow_extras();
    m_app.add_subcommand("help", "")->group("");
}

CLI::App* CommandLine::AddCommand(const std::string& name, const std::string& description,
                                  const std::string& footer) {
    CLI::App* command = m_app.add_subcommand(name, description);
    command->allow_extras();
    // An option given twice keeps its last value, as the tools always did.
    command->option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    if (!footer.empty())
        command->footer(footer);
    return command;
}

void CommandLine::PassUnknownWords(CLI::App* command) {
    m_passUnknownWords.push_back(command);
}

// CLI11 reads "-o=FILE" as the value "=FILE", says in its own words that a
// value is missing, and takes a word it does not know for an extra argument:
// the tools have always taken "-o=FILE", named the option as it was typed,
// and called the first word that is no option the command.
std::vector<std::string> CommandLine::Normalized(std::vector<std::string> args) const {
    std::vector<std::string> out;
    const CLI::App* command = nullptr;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") {
            out.insert(out.end(), args.begin() + i, args.end());
            break;
        }
        if (command == nullptr) {
            if (!arg.empty() && arg[0] == '-') {
                out.push_back(arg);
                continue;
            }
            command = FindCommand(m_app, arg);
            if (command == nullptr)
                UsageError(nullptr, "unknown command \"" + arg + "\"");
            out.push_back(arg);
            continue;
        }
        if (arg.size() > 2 && arg[0] == '-' && arg[1] != '-' && arg[2] == '=' &&
            ValueOption(command, arg.substr(0, 2)) != nullptr) {
            out.push_back(arg.substr(0, 2));
            out.push_back(arg.substr(3));
            continue;
        }
        if (i + 1 == args.size() && arg.size() > 1 && arg[0] == '-') {
            if (const CLI::Option* option = ValueOption(command, arg))
                UsageError(command, arg + " needs a value: " + option->get_type_name());
        }
        out.push_back(arg);
    }
    return out;
}

CLI::App* CommandLine::Parse(const std::vector<std::string>& given) {
    if (given.empty()) {
        std::string overview = m_overview;
        while (!overview.empty() && overview.back() == '\n')
            overview.pop_back();
        ThrowToolError(kExitUsageOrIo, "no command given\n" + overview);
    }
    std::vector<std::string> args = Normalized(given);
    std::reverse(args.begin(), args.end()); // CLI11 takes the last one first
    try {
        m_app.parse(args);
    } catch (const CLI::Success&) {
        std::fputs(m_app.help().c_str(), stdout);
        return nullptr;
    } catch (const CLI::ParseError& error) {
        const std::vector<CLI::App*> selected = m_app.get_subcommands();
        UsageError(selected.empty() ? nullptr : selected.front(), error.what());
    }
    const std::vector<CLI::App*> selected = m_app.get_subcommands();
    const std::vector<std::string> outside = m_app.remaining();
    if (selected.empty())
        UsageError(nullptr, outside.empty() ? std::string("no command given")
                                            : "unexpected argument " + outside.front());
    CLI::App* command = selected.front();
    if (command->get_name() == "help") {
        std::fputs(m_overview.c_str(), stdout);
        return nullptr;
    }
    const bool passed = std::find(m_passUnknownWords.begin(), m_passUnknownWords.end(), command) !=
                        m_passUnknownWords.end();
    if (!outside.empty())
        UsageError(command, "unexpected argument " + outside.front());
    if (!passed && !command->remaining().empty())
        UsageError(command, "unexpected argument " + command->remaining().front());
    return command;
}

void CommandLine::UsageError(const CLI::App* command, const std::string& message) const {
    ThrowToolError(kExitUsageOrIo, message + " (see " + m_tool +
                                       (command ? " " + command->get_name() : std::string()) +
                                       " --help)");
}

} // namespace pitool
