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
#include "app/program_version.h"
#include "cli/password_prompt.h"
#include "directory/d_nw.h"
#include "directory/d_nw_list.h"
#include "util/string_list.h"
#include "util/text.h"
#include "xmlexport/directory_attributes.h"
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
// the end, with the context it made, so that a later run in the same process starts afresh.
class ClientRun {
 public:
  ClientRun(const std::optional<std::string>& connections, const PasswordSources& passwords)
      : ownConnections_(connections.has_value()) {
    DirClientShutdown();
    if (ownConnections_) {
      DirClientUseConnectionsFile(*connections);
    }
    DirClientSetPasswordProvider([passwords](const DirPasswordRequest& request) {
      return ExportPassword(passwords, request);
    });
  }
  ~ClientRun() {
    if (context_ != 0) {
      static_cast<void>(DirFreeContext(context_));
    }
    DirClientShutdown();
    DirClientSetPasswordProvider({});
    if (ownConnections_) {
      DirClientUseConnectionsFile("");
    }
  }
  ClientRun(const ClientRun&) = delete;
  ClientRun& operator=(const ClientRun&) = delete;

  [[nodiscard]] int32_t CreateContext() { return DirCreateContext(context_); }
  [[nodiscard]] DirContext Context() const { return context_; }

 private:
  bool ownConnections_;
  DirContext context_ = 0;
};

// The tree asked for (ASCII case ignored), else the client's default tree, else the first it
// lists; nullopt, with the reason given to `messages`, when there is none.
std::optional<std::string> ChooseTree(const std::optional<std::string>& wanted,
                                      ErrorMessageSink& messages) {
  TStringList trees;
  DSGetTreeNames(trees);
  if (wanted) {
    for (const TStringList::Entry& tree : trees) {
      if (SameTextAscii(tree.text, *wanted)) {
        return tree.text;
      }
    }
    std::string known;
    for (const TStringList::Entry& tree : trees) {
      known += (known.empty() ? "" : ", ") + tree.text;
    }
    if (const std::string why = DSUnopenedTreeText(*wanted); !why.empty()) {
      messages.ShowError("Tree \"" + *wanted + "\" cannot be reached: " + why);
    } else {
      messages.ShowError("Tree \"" + *wanted + "\" not found; the directory client knows " +
                         (known.empty() ? std::string("no tree") : known));
    }
    return std::nullopt;
  }
  // A script that names no tree means the primary one; another tree standing in for it would
  // export what the script never asked for.
  for (const DirUnopenedConnection& connection : DirClientUnopenedConnections()) {
    if (connection.primary) {
      for (const TStringList::Entry& tree : trees) {
        if (SameTextAscii(tree.text, connection.tree)) {
          return tree.text;  // served by another connection
        }
      }
      messages.ShowError("The default tree \"" + connection.tree +
                         "\" cannot be reached: " + connection.reason);
      return std::nullopt;
    }
  }
  if (std::string tree = DSGetDefaultTree(); !tree.empty()) {
    return tree;
  }
  if (!trees.Empty()) {
    return trees.Text(0);
  }
  if (const std::string why = DSUnopenedConnectionsText(); !why.empty()) {
    messages.ShowError(why);
    return std::nullopt;
  }
  messages.ShowError("The directory client is connected to no tree");
  return std::nullopt;
}

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

// The bytes the window saves for the document it shows for `lists`; nullopt, with the reason
// given to `messages`, when a read failed and the document may lack values, or when a value
// held text the document cannot hold.
std::optional<std::string> DocumentText(DirContext context, const TExportLists& lists,
                                        ErrorMessageSink& messages) {
  const DirectoryAttributeSource source(context);
  XmlDocumentLines lines;
  XmlInstallWriter writer(source, lines);
  writer.WriteDocument(lists.CheckedItems());
  if (const auto& failure = source.FirstFailure()) {
    NWErrorBox(messages, failure->code, FailedReadText(*failure));
    return std::nullopt;
  }
  if (const auto& fault = writer.FirstTextFault()) {
    messages.ShowError("Cannot export " + XmlTextFaultText(*fault));
    return std::nullopt;
  }
  return XmlFileText(lines.Lines());
}

int Export(const ExportOptions& options, std::ostream& out, std::ostream& err) {
  StreamMessages messages(err);
  PasswordSources passwords;
  passwords.passwordFile = options.passwordFile;
  if (const char* value = std::getenv(kPasswordVariable)) {
    passwords.environment = value;
  }
  ClientRun client(options.connections, passwords);
  if (InitNetWare(messages) != 0) {
    return kExportFailed;
  }
  ShowClientWarnings(messages);
  const std::optional<std::string> tree = ChooseTree(options.tree, messages);
  if (!tree) {
    return kExportFailed;
  }
  if (const int32_t code = client.CreateContext(); code != kDirOk) {
    NWErrorBox(messages, code, "DirCreateContext");
    return kExportFailed;
  }
  const DirContext context = client.Context();
  if (const int32_t code = DSChangeCurrentTree(context, *tree); code != kDirOk) {
    NWErrorBox(messages, code, "DSChangeCurrentTree");
    return kExportFailed;
  }
  DSModifyContextFlags(context, '+', kDirFlagTypeless);

  std::string base = options.base ? *options.base : MakeFullName(DSGetNameContext(context));
  if (base.empty() || SameTextAscii(base, kRootName)) {
    base = kRootName;
  }
  // Searches take the start container as a complete name, read from the root.
  if (const int32_t code = DSSetRootContext(context); code != kDirOk) {
    NWErrorBox(messages, code, "DSSetRootContext");
    return kExportFailed;
  }

  TExportLists lists;
  // A search that failed midway has left lists that look complete: nothing is written from them.
  if (const int32_t code = lists.Load(context, base); code == kDirNoSuchEntry) {
    messages.ShowError("Container \"" + MakeFullName(base) + "\" not found in tree " + *tree);
    return kExportFailed;
  } else if (code != kDirOk) {
    NWErrorBox(messages, code, "DSSearch below " + MakeFullName(base));
    return kExportFailed;
  }
  for (const RbsKind kind : kRbsKinds) {
    if (options.all) {
      lists.Of(kind).CheckAll();
    }
    if (const std::optional<std::string>& pattern =
            options.patterns.at(static_cast<size_t>(kind))) {
      lists.Of(kind).MarkByText(*pattern);
    }
  }
  if (options.dependents) {
    lists.CheckDependentBooks(context);
    lists.CheckDependentTasks(context);
  }

  const std::optional<std::string> text =
      options.list ? ListText(lists) : DocumentText(context, lists, messages);
  if (!text) {
    return kExportFailed;
  }
  if (options.output) {
    if (const std::optional<std::string> error = SaveTextFile(*options.output, *text)) {
      messages.ShowError(*error);
      return kExportFailed;
    }
    return kExportDone;
  }
  errno = 0;
  out.write(text->data(), static_cast<std::streamsize>(text->size()));
  if (const std::optional<std::string> fault = OutputFault(out)) {
    messages.ShowError(*fault);
    return kExportFailed;
  }
  return kExportDone;
}

}  // namespace

int RunExport(const std::vector<std::string>& arguments, std::ostream& out, std::ostream& err) {
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
  return Export(options, out, err);
}
