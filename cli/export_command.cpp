#include "cli/export_command.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <optional>
#include <ostream>
#include <string_view>
#include <utility>

#include "app/d_ini.h"
#include "app/export_lists.h"
#include "app/export_run.h"
#include "app/program_version.h"
#include "cli/password_prompt.h"
#include "directory/d_nw.h"
#include "directory/d_nw_list.h"
#include "util/string_list.h"
#include "util/text.h"
#include "xmlexport/install_document.h"
#include "xmlexport/xml_save.h"

namespace {

constexpr std::string_view kProgram = "orvane-export";

constexpr std::string_view kUsage =
    "Usage: orvane-export [--connections FILE] [--tree NAME] [--base CONTAINER]\n"
    "                     [--modules TEXT] [--categories TEXT] [--roles TEXT] [--books TEXT]\n"
    "                     [--tasks TEXT] [--all] [--dependents] [--list] [-o FILE]\n"
    "                     [--password-file FILE]\n";

constexpr std::string_view kHelp =
    "Exports role-based-services objects below a start container as one install XML document.\n"
    "\n"
    "  --connections FILE  the directory client's connections file (default: the one in the\n"
    "                      configuration folder, else the built-in sample tree)\n"
    "  --password-file FILE\n"
    "                      the password of a connection that binds without a password-file\n"
    "                      of its own (only its owner may read FILE); else the environment\n"
    "                      variable ORVANE_PASSWORD, else it is asked for on the terminal\n"
    "  --tree NAME         the tree, case ignored (default: the client's default tree)\n"
    "  --base CONTAINER    the start container, \".Sales.Acme\", \"Sales.Acme\" or \"[Root]\"\n"
    "                      (default: the tree's default name context, else [Root])\n"
    "  --modules TEXT      check the modules whose names contain TEXT, case ignored;\n"
    "  --categories TEXT   likewise --categories, --roles, --books and --tasks\n"
    "  --roles TEXT\n"
    "  --books TEXT\n"
    "  --tasks TEXT\n"
    "  --all               check every item of every kind (applied before the texts above)\n"
    "  --dependents        then check the books and tasks below the checked modules, and the\n"
    "                      tasks the checked roles name\n"
    "  --list              print the items instead of the document: kind, mark (x or -) and\n"
    "                      name, separated by tabs; in a name \\\\, \\t, \\n and \\r stand for\n"
    "                      a backslash, tab, LF and CR, \\xHH for any other control byte\n"
    "  -o FILE             write to FILE, replacing it whole, instead of standard output\n"
    "  --help              show this text\n"
    "  --version           show the version\n"
    "\n"
    "Exit status: 0 done, 1 a directory or output failure or a value the document cannot\n"
    "hold, 2 a usage error.\n";

struct ExportOptions {
  std::optional<std::string> connections;
  std::optional<std::string> passwordFile;
  std::optional<std::string> tree;
  std::optional<std::string> base;
  std::optional<std::string> output;
  std::array<std::optional<std::string>, kRbsKinds.size()> patterns;
  bool all = false;
  bool dependents = false;
  bool list = false;
  bool help = false;
  bool version = false;
};

constexpr std::pair<std::string_view, RbsKind> kPatternOptions[] = {
    {"--modules", RbsKind::kModule}, {"--categories", RbsKind::kCategory},
    {"--roles", RbsKind::kRole},     {"--books", RbsKind::kBook},
    {"--tasks", RbsKind::kTask},
};

// The option `name` that takes a value, as the field holding it; nullptr for any other name.
std::optional<std::string>* ValueOf(ExportOptions& options, std::string_view name) {
  if (name == "--connections") {
    return &options.connections;
  }
  if (name == "--password-file") {
    return &options.passwordFile;
  }
  if (name == "--tree") {
    return &options.tree;
  }
  if (name == "--base") {
    return &options.base;
  }
  if (name == "-o") {
    return &options.output;
  }
  for (const auto& [option, kind] : kPatternOptions) {
    if (name == option) {
      return &options.patterns.at(static_cast<size_t>(kind));
    }
  }
  return nullptr;
}

bool* SwitchOf(ExportOptions& options, std::string_view name) {
  if (name == "--all") {
    return &options.all;
  }
  if (name == "--dependents") {
    return &options.dependents;
  }
  if (name == "--list") {
    return &options.list;
  }
  if (name == "--help" || name == "-h") {
    return &options.help;
  }
  if (name == "--version") {
    return &options.version;
  }
  return nullptr;
}

// Options may come in any order, a value as the next argument or after "=" ("--tree=T"); a
// repeated option keeps its last value. Returns the fault when the arguments cannot be read.
std::optional<std::string> ParseArguments(const std::vector<std::string>& arguments,
                                          ExportOptions& options) {
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    std::string_view name = argument;
    std::optional<std::string> attached;
    if (const size_t equals = argument.find('=');
        argument.rfind("--", 0) == 0 && equals != std::string::npos) {
      name = std::string_view(argument).substr(0, equals);
      attached = argument.substr(equals + 1);
    }
    if (bool* on = SwitchOf(options, name)) {
      if (attached) {
        return "option '" + std::string(name) + "' takes no value";
      }
      *on = true;
      continue;
    }
    std::optional<std::string>* value = ValueOf(options, name);
    if (value == nullptr) {
      return argument.size() > 1 && argument.front() == '-'
                 ? "unknown option '" + argument + "'"
                 : "unexpected argument '" + argument + "'";
    }
    if (!attached) {
      if (i + 1 == arguments.size()) {
        return "option '" + std::string(name) + "' needs a value";
      }
      attached = arguments[++i];
    }
    // An empty pattern is meaningful (it checks nothing, as an empty pattern field does); an
    // empty file, tree or container is not.
    const bool isPattern = std::any_of(std::begin(kPatternOptions), std::end(kPatternOptions),
                                       [name](const auto& option) { return option.first == name; });
    if (attached->empty() && !isPattern) {
      return "option '" + std::string(name) + "' needs a non-empty value";
    }
    *value = std::move(attached);
  }
  return std::nullopt;
}

// Flushes `out`: nullopt when every byte went, else the message, with the system's reason when
// a write gave one (a full disk, a closed pipe). The caller clears errno before its writes.
std::optional<std::string> OutputFault(std::ostream& out) {
  out.flush();
  if (out) {
    return std::nullopt;
  }
  const int error = errno;
  return "Cannot write to standard output" +
         (error != 0 ? ": " + std::string(std::strerror(error)) : std::string());
}

// Directory messages as lines on the error stream, each naming the program.
class StreamMessages : public ErrorMessageSink {
 public:
  explicit StreamMessages(std::ostream& err) : err_(err) {}
  // A name or a server's words in a message may hold bytes a terminal would obey; the line
  // breaks of a message of several lines (the connections left out at start-up) are its own.
  void ShowError(const std::string& text) override {
    err_ << kProgram << ": ";
    for (size_t start = 0;;) {
      const size_t end = text.find('\n', start);
      err_ << EscapeControlText(text.substr(start, end - start));
      if (end == std::string::npos) {
        break;
      }
      err_ << '\n';
      start = end + 1;
    }
    err_ << '\n';
  }

 private:
  std::ostream& err_;
};

// The directory client for one run: started with the chosen connections file and shut down at
// the end, with the context it made, so that a later run on the same client starts afresh.
class ClientRun {
 public:
  ClientRun(DirClient& client, const std::optional<std::string>& connections,
            const PasswordSources& passwords)
      : client_(client), ownConnections_(connections.has_value()) {
    client_.DirClientShutdown();
    if (ownConnections_) {
      client_.DirClientUseConnectionsFile(*connections);
    }
    client_.DirClientSetPasswordProvider([passwords](const DirPasswordRequest& request) {
      return ExportPassword(passwords, request);
    });
  }
  ~ClientRun() {
    if (context_ != 0) {
      static_cast<void>(client_.DirFreeContext(context_));
    }
    client_.DirClientShutdown();
    client_.DirClientSetPasswordProvider({});
    if (ownConnections_) {
      client_.DirClientUseConnectionsFile("");
    }
  }
  ClientRun(const ClientRun&) = delete;
  ClientRun& operator=(const ClientRun&) = delete;

  [[nodiscard]] DirClient& Client() { return client_; }
  [[nodiscard]] int32_t CreateContext() { return client_.DirCreateContext(context_); }
  [[nodiscard]] DirContext Context() const { return context_; }

 private:
  DirClient& client_;
  bool ownConnections_;
  DirContext context_ = 0;
};

// The lists' lines, one "<kind>\t<mark>\t<name>" per item, kinds in page order; a name's tab,
// line end or backslash is escaped, so that no name can make a line or a field of its own.
std::string ListText(const TExportLists& lists) {
  std::string text;
  for (const RbsKind kind : kRbsKinds) {
    const TItemList& items = lists.Of(kind);
    for (int i = 0; i < items.Count(); ++i) {
      text += RbsKindName(kind);
      text += items.Checked(i) ? "\tx\t" : "\t-\t";
      text += EscapeListField(items.Line(i));
      text += '\n';
    }
  }
  return text;
}

int Export(DirClient& session, const ExportOptions& options, std::ostream& out, std::ostream& err) {
  StreamMessages messages(err);
  PasswordSources passwords;
  passwords.passwordFile = options.passwordFile;
  if (const char* value = std::getenv(kPasswordVariable)) {
    passwords.environment = value;
  }
  ClientRun client(session, options.connections, passwords);
  if (InitNetWare(client.Client(), messages) != 0) {
    return kExportFailed;
  }
  ShowClientWarnings(client.Client(), messages);
  TExportLists lists;
  TExportRun run(client.Client(), lists);
  const std::optional<std::string> tree = run.ChooseTree(options.tree, messages);
  if (!tree) {
    return kExportFailed;
  }
  if (const int32_t code = client.CreateContext(); code != kDirOk) {
    NWErrorBox(client.Client(), messages, code, "DirCreateContext");
    return kExportFailed;
  }
  const DirContext context = client.Context();
  if (const int32_t code = run.EnterTree(context, *tree); code != kDirOk) {
    NWErrorBox(client.Client(), messages, code, "DSChangeCurrentTree");
    return kExportFailed;
  }
  const std::string base = run.StartContainer(context, options.base);
  // Searches take the start container as a complete name, read from the root.
  if (const int32_t code = DSSetRootContext(client.Client(), context); code != kDirOk) {
    NWErrorBox(client.Client(), messages, code, "DSSetRootContext");
    return kExportFailed;
  }

  // A search that failed midway has left lists that look complete: nothing is written from them.
  if (const int32_t code = run.LoadAll(context, base); code == kDirNoSuchEntry) {
    messages.ShowError("Container \"" + MakeFullName(base) + "\" not found in tree " + *tree);
    return kExportFailed;
  } else if (code != kDirOk) {
    NWErrorBox(client.Client(), messages, code, "DSSearch below " + MakeFullName(base));
    return kExportFailed;
  }
  for (const RbsKind kind : kRbsKinds) {
    if (options.all) {
      run.CheckAll(kind);
    }
    if (const std::optional<std::string>& pattern =
            options.patterns.at(static_cast<size_t>(kind))) {
      run.MarkByText(kind, *pattern);
    }
  }
  if (options.dependents) {
    run.CheckDependentBooks(context);
    run.CheckDependentTasks(context);
  }

  // The document is kept as the file's bytes from the start: a string per line beside them
  // would hold the large document several times over.
  XmlDocumentText file;
  std::vector<std::string> listText;
  if (options.list) {
    listText.push_back(ListText(lists));
  } else if (!run.MayWriteFile(run.BuildDocument(context, &file), messages)) {
    return kExportFailed;
  }
  const std::vector<std::string>& pieces = options.list ? listText : file.Pieces();
  if (options.output) {
    if (const std::optional<std::string> error = SaveTextFile(*options.output, pieces)) {
      messages.ShowError(*error);
      return kExportFailed;
    }
    return kExportDone;
  }
  errno = 0;
  for (const std::string& piece : pieces) {
    out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
  }
  if (const std::optional<std::string> fault = OutputFault(out)) {
    messages.ShowError(*fault);
    return kExportFailed;
  }
  return kExportDone;
}

}  // namespace

int RunExport(DirClient& client, const std::vector<std::string>& arguments, std::ostream& out,
              std::ostream& err) {
  ExportOptions options;
  if (const std::optional<std::string> fault = ParseArguments(arguments, options)) {
    err << kProgram << ": " << EscapeControlText(*fault) << '\n'
        << kUsage << "Try '" << kProgram << " --help' for more information.\n";
    return kExportUsageError;
  }
  if (options.help || options.version) {
    // Looked for before writing: the search sets errno, which must stay the write's.
    const std::string guide = ProgramDocument(ProgramFile(), "index.html").string();
    errno = 0;
    if (options.help) {
      out << kUsage << '\n' << kHelp << '\n';
    }
    out << kProgram << ' ' << kOrvaneVersion << "\nUser guide: " << guide << '\n';
    if (const std::optional<std::string> fault = OutputFault(out)) {
      err << kProgram << ": " << *fault << '\n';
      return kExportFailed;
    }
    return kExportDone;
  }
  return Export(client, options, out, err);
}
