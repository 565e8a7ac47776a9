// Parsing the command line and the help text, both from the tables.
#include <algorithm>

#include "app/cli_output.h"
#include "app/cli_tables.h"

namespace qx::cli {

namespace {

const OptionSpec* FindOption(const std::string& name) {
  for (const auto& o : OptionTable()) {
    if (name == o.name) return &o;
  }
  return nullptr;
}

// A word that is not an option but may be meant as a file name ("-R.OUB").
bool LooksLikeFile(const std::string& word) {
  return word.find('.') != std::string::npos || word.find('/') != std::string::npos;
}

// The options of `command` that the user gave but it does not take.
std::optional<std::string> CheckOptions(const CommandSpec& command,
                                        const std::vector<const OptionSpec*>& given) {
  for (const OptionSpec* o : given) {
    if (o->group == kAlways || (command.groups & o->group) != 0) continue;
    if (!*command.name) return std::string(o->name) + " needs a command (see --help)";
    return "'" + std::string(command.name) + "' takes no option " + o->name;
  }
  return std::nullopt;
}

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: qxflash [OPTIONS] [COMMAND [ARGS]]\n\n"
      "Writes new firmware into QX-R4410 DVD-RAM drives. Without a command the\n"
      "desktop window opens.\n\nCommands:\n";
  size_t column = 37;
  auto row = [&text, &column](std::string left, const std::string& help) {
    left = "  " + left;
    if (left.size() >= column) {
      text += left + "\n" + std::string(column, ' ') + help + "\n";
    } else {
      text += left + std::string(column - left.size(), ' ') + help + "\n";
    }
  };
  for (const auto& c : CommandTable()) {
    if (*c.name) row(std::string(c.name) + (*c.synopsis ? " " : "") + c.synopsis, c.help);
  }
  text += "\nBuilders of send (addresses 0..0xFFFFFF, bytes 0..255):\n";
  for (const auto& b : BuilderTable()) {
    std::string left = b.name;
    for (const auto& a : b.args) left += std::string(" ") + a.name;
    text += "  " + left + "\n";
  }
  text += "\nOptions:\n";
  column = 22;
  for (const auto& o : OptionTable()) {
    row(std::string(o.name) + (o.value ? std::string(" ") + o.value : ""), o.help);
  }
  text +=
      "\nEach command takes only the options that apply to it. -- ends the options.\n"
      "Numbers may be decimal or 0x-prefixed hexadecimal. Exit status: 0 success,\n"
      "1 the job failed or was aborted, 2 usage error.\n";
  return text;
}

std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error) {
  Options o;
  auto fail = [&](std::string msg) -> std::optional<Options> {
    *error = std::move(msg);
    return std::nullopt;
  };
  std::vector<const OptionSpec*> given;
  bool options_ended = false;
  for (size_t i = 0; i < argv.size(); ++i) {
    std::string a = argv[i];
    auto positional = [&] { (o.command.empty() ? o.command : o.args.emplace_back()) = argv[i]; };
    if (options_ended) {
      positional();
      continue;
    }
    if (a == "--") {
      options_ended = true;
      continue;
    }
    if (a == "-h") a = "--help";
    std::string inlineValue;
    bool hasInline = false;
    if (const size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = a.substr(eq + 1);
      hasInline = true;
      a = a.substr(0, eq);
    }
    const OptionSpec* option = FindOption(a);
    if (option == nullptr) {
      if (a.size() > 1 && a[0] == '-' && !ParseNumber(a)) {
        std::string msg = "unknown option '" + Printable(argv[i]) + "'";
        if (LooksLikeFile(argv[i])) {
          msg += "; a file whose name starts with '-' is written ./" + Printable(argv[i]) +
                 " or after --";
        }
        return fail(msg);
      }
      positional();
      continue;
    }
    given.push_back(option);
    std::string value;
    if (a == "--sim" && hasInline) {
      if (inlineValue.empty()) return fail("--sim= needs a scenario file name");
      if (auto clash = option->apply(o, {})) return fail(*clash);
      o.scenario = inlineValue;
      continue;
    }
    if (option->value != nullptr) {
      if (hasInline) {
        value = inlineValue;
      } else if (i + 1 < argv.size()) {
        value = argv[++i];
      } else {
        return fail(std::string(option->name) + " needs " + option->value);
      }
    } else if (hasInline) {
      return fail(std::string(option->name) + " takes no value");
    }
    if (auto problem = option->apply(o, value)) return fail(*problem);
  }
  if (o.help || o.version) return o;
  const CommandSpec* command = FindCommand(o.command);
  if (command == nullptr) return fail("unknown command '" + Printable(o.command) + "'");
  if (o.args.size() > command->max_args) {
    return fail("'" + o.command + "' takes no argument '" + Printable(o.args[command->max_args]) +
                "'");
  }
  if (auto problem = CheckOptions(*command, given)) return fail(*problem);
  return o;
}

}  // namespace qx::cli
