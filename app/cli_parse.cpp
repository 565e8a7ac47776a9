// Parsing the command line and the help text, both from the tables.
#include <algorithm>
#include <cctype>
#include <map>

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

// One use of an option on the command line.
struct Given {
  std::string written;  // as written ("--id 5", "--sim=x.json")
  std::string value;
  bool scenario = false;  // --sim=FILE
};

// What `use` asks for, applied to options of their own.
Options Applied(const OptionSpec& option, const Given& use) {
  Options o;
  if (!option.apply(o, use.value) && use.scenario) o.scenario = use.value;
  return o;
}

// An option given twice must ask for the same both times: a script that
// says --id 5 and later --id 2 has a mistake in it, and the download must
// not guess which it meant.
std::optional<std::string> Repeated(const OptionSpec& option, const Given& before,
                                    const Given& now) {
  if (Applied(option, before) == Applied(option, now)) return std::nullopt;
  return std::string(option.name) + " is given twice with different values (" +
         QuotedArg(before.written) + ", then " + QuotedArg(now.written) + ")";
}

// A release named where a command would stand ("qxflash --drives R.OUB"):
// the window opens with it chosen. A parameter file's name ends in .OUB, in
// any case.
bool IsReleaseName(const std::string& word) {
  if (word.size() < 4) return false;
  std::string tail = word.substr(word.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return tail == ".oub";
}

}  // namespace

std::string UsageText() {
  std::string text =
      "Usage: qxflash [OPTIONS] [COMMAND [ARGS]]\n"
      "       qxflash [OPTIONS] [FILE.OUB]\n\n"
      "Writes new firmware into QX-R4410 DVD-RAM drives. Without a command the\n"
      "desktop window opens, with FILE.OUB chosen when one is named.\n\nCommands:\n";
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
      "\nEach command takes only the options that apply to it, each once (or twice\n"
      "with the same value). -- ends the options. Numbers are decimal or 0x-prefixed\n"
      "hexadecimal, nothing around them; seconds may have a fraction (0.5).\n"
      "Exit status: 0 success, 1 the job failed or was aborted, 2 usage error.\n";
  return text;
}

std::optional<Options> Parse(const std::vector<std::string>& argv, std::string* error) {
  Options o;
  auto fail = [&](std::string msg) -> std::optional<Options> {
    *error = std::move(msg);
    return std::nullopt;
  };
  std::vector<const OptionSpec*> given;
  // The first use of each option, as written, for one given twice.
  std::map<const OptionSpec*, Given> first;
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
        std::string msg = "unknown option '" + QuotedArg(argv[i]) + "'";
        if (LooksLikeFile(argv[i])) {
          msg += "; a file whose name starts with '-' is written ./" + QuotedArg(argv[i]) +
                 " or after --";
        }
        return fail(msg);
      }
      positional();
      continue;
    }
    given.push_back(option);
    Given use{argv[i], {}, false};
    if (a == "--sim" && hasInline) {
      if (inlineValue.empty()) return fail("--sim= needs a scenario file name");
      if (auto clash = option->apply(o, {})) return fail(*clash);
      o.scenario = inlineValue;
      use.value = inlineValue;
      use.scenario = true;
    } else {
      if (option->value != nullptr) {
        if (hasInline) {
          use.value = inlineValue;
        } else if (i + 1 < argv.size()) {
          use.value = argv[++i];
          use.written += " " + use.value;
        } else {
          return fail(std::string(option->name) + " needs " + option->value);
        }
      } else if (hasInline) {
        return fail(std::string(option->name) + " takes no value");
      }
      if (auto problem = option->apply(o, use.value)) return fail(*problem);
    }
    if (auto [at, added] = first.try_emplace(option, use); !added) {
      if (auto clash = Repeated(*option, at->second, use)) return fail(*clash);
    }
  }
  if (o.help || o.version) return o;
  if (FindCommand(o.command) == nullptr && IsReleaseName(o.command)) {
    o.args.insert(o.args.begin(), o.command);
    o.command.clear();
  }
  const CommandSpec* command = FindCommand(o.command);
  if (command == nullptr) return fail("unknown command '" + QuotedArg(o.command) + "'");
  if (o.args.size() > command->max_args) {
    return fail("'" + o.command + "' takes no argument '" + QuotedArg(o.args[command->max_args]) +
                "'");
  }
  if (auto problem = CheckOptions(*command, given)) return fail(*problem);
  if (!o.record.empty() && o.command == "download" && !o.dry_run) {
    return fail("--record goes with --dry-run: a download is not recorded as a twin");
  }
  return o;
}

}  // namespace qx::cli
