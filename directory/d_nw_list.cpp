// D_NW container listing and display names.
#include "directory/d_nw_list.h"

#include <string>
#include <utility>

#include "util/hooks.h"

namespace {

// Typeless names in canonical form: the container and object lists show bare leaf names.
constexpr uint32_t kListingFlags = kDirFlagTypeless | kDirFlagCanonicalize;

constexpr int32_t kListEnd = -1;

// Sets `mask` in the context's flags; when they cannot be read nothing is written.
void AddContextFlags(DirClient& client, DirContext context, uint32_t mask) {
  uint32_t flags = 0;
  if (client.DirGetContextValue(context, kDirKeyFlags, flags) != kDirOk) {
    return;
  }
  static_cast<void>(client.DirSetContextValue(context, kDirKeyFlags, flags | mask));
}

// Position of the first "." of `name` that separates two name parts, that is one not escaped
// with a backslash; npos when there is none.
size_t FirstSeparator(std::string_view name) {
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\') {
      ++i;  // the escaped character, whatever it is, belongs to the part
    } else if (name[i] == '.') {
      return i;
    }
  }
  return std::string_view::npos;
}

// Lets a sorted list take appended entries and sorts it once when the listing is over. The
// stable sort gives exactly the order that inserting each entry in its place would, without
// moving the list's tail for every entry: in place, a container of 100,000 entries in no
// particular order took seconds.
class DeferredSort {
 public:
  explicit DeferredSort(TStringList* list)
      : list_(list != nullptr && list->Sorted() ? list : nullptr) {
    if (list_ != nullptr) {
      list_->SetSorted(false);
    }
  }
  ~DeferredSort() {
    if (list_ != nullptr) {
      list_->SetSorted(true);
    }
  }
  DeferredSort(const DeferredSort&) = delete;
  DeferredSort& operator=(const DeferredSort&) = delete;

 private:
  TStringList* list_;
};

}  // namespace

void TNDSObj::Release() {
  if (buffer_) {
    static_cast<void>(client_->DirFreeBuffer(*buffer_));
    buffer_.reset();
  }
  if (context_) {
    static_cast<void>(client_->DirFreeContext(*context_));
    context_.reset();
  }
  iterationHandle_ = -1;
  count_ = 0;
  read_ = 0;
}

void TNDSObj::Clear() {
  Release();
  baseName_.clear();
  name_.clear();
  attributeCount_ = 0;
  info_ = DirObjectInfo{};
}

int32_t TNDSObj::FetchBatch() {
  const int32_t code =
      client_->DirListSubordinates(*context_, baseName_, iterationHandle_, *buffer_);
  if (code != kDirOk) {
    return code;
  }
  uint32_t count = 0;
  const int32_t countCode = client_->DirGetObjectCount(*context_, *buffer_, count);
  if (countCode != kDirOk) {
    return countCode;
  }
  count_ = count;
  read_ = 0;
  return kDirOk;
}

int32_t TNDSObj::ReadEntry() {
  name_.clear();
  info_ = DirObjectInfo{};
  std::string name;
  const int32_t code = client_->DirGetObjectName(*context_, *buffer_, name, attributeCount_, info_);
  if (code == kDirOk) {
    name_ = std::move(name);
  }
  ++read_;
  return code;
}

int32_t DSListFirst(DirClient& client, DirContext context, std::string_view container,
                    TNDSObj& state) {
  // A listing still running is ended through the client it was started with.
  state.Clear();
  state.client_ = &client;
  state.baseName_ = MakeFullName(container);

  DirContext listing = 0;
  if (const int32_t code = client.DirDuplicateContext(context, listing); code != kDirOk) {
    return code;
  }
  state.context_ = listing;

  AddContextFlags(client, listing, kListingFlags);
  static_cast<void>(client.DirSetContextValue(listing, kDirKeyConfidence, 0u));
  // Entry names come back relative to the name context, so a context left elsewhere would
  // give names of the wrong container: a listing that cannot set it does not start.
  if (const int32_t code =
          client.DirSetContextValue(listing, kDirKeyNameContext, StripLeadingDot(state.baseName_));
      code != kDirOk) {
    state.Release();
    return code;
  }

  DirBuffer buffer = 0;
  if (const int32_t code = client.DirAllocBuffer(kListBufferSize, buffer); code != kDirOk) {
    state.Release();
    return code;
  }
  state.buffer_ = buffer;

  state.iterationHandle_ = -1;
  if (const int32_t code = state.FetchBatch(); code != kDirOk) {
    state.Release();
    return code;
  }
  if (state.count_ == 0) {
    return DSListNext(state);
  }
  const int32_t code = state.ReadEntry();
  if (code != kDirOk) {
    state.Release();
  }
  return code;
}

int32_t DSListNext(TNDSObj& state) {
  while (state.read_ >= state.count_) {
    ProcessPendingMessages();
    if (state.iterationHandle_ == -1 || !state.Active()) {
      state.Release();
      return kListEnd;
    }
    // Released here, the listing context takes the client's iteration with it.
    if (StopRequested()) {
      state.Release();
      return kWorkStopped;
    }
    if (const int32_t code = state.FetchBatch(); code != kDirOk) {
      state.Release();
      return code;
    }
  }
  if (!ContinueAfterMessages()) {
    state.Release();
    return kWorkStopped;
  }
  const int32_t code = state.ReadEntry();
  if (code != kDirOk) {
    state.Release();
  }
  return code;
}

void DSListContainer(DirClient& client, DirContext context, std::string_view container,
                     TStringList* containers, TStringList* objects, std::string_view classFilter,
                     bool withClass) {
  const BusyCursorScope busy;
  const DeferredSort containersSort(containers);
  const DeferredSort objectsSort(objects == containers ? nullptr : objects);
  TNDSObj state;
  for (int32_t code = DSListFirst(client, context, container, state); code == kDirOk;
       code = DSListNext(state)) {
    ReportEntriesRead(1);
    const std::string& name = state.Name();
    const DirObjectInfo& info = state.Info();
    if (containers != nullptr && state.IsContainer()) {
      containers->Add(name);
    }
    if (objects != nullptr && !name.empty() &&
        (classFilter.empty() || classFilter == info.baseClass)) {
      if (withClass) {
        std::string line = info.baseClass + ": ";
        const auto prefixLength = static_cast<int64_t>(line.size());
        line += name;
        objects->Add(std::move(line), prefixLength);
      } else {
        objects->Add(name);
      }
    }
  }
}

bool IsRootOrPublic(std::string_view name) {
  return name == kRootName || name == kPublicName;
}

std::string MakeFullName(std::string_view name) {
  if (name.empty() || name.front() == '.' || IsRootOrPublic(name)) {
    return std::string(name);
  }
  std::string full;
  full.reserve(name.size() + 1);
  full.push_back('.');
  full += name;
  return full;
}

std::string_view FirstNamePart(std::string_view name) {
  return name.substr(0, FirstSeparator(name));
}

std::string StripLeadingDot(std::string_view name) {
  if (!name.empty() && name.front() == '.') {
    name.remove_prefix(1);
  }
  return std::string(name);
}

std::string NavigateContext(std::string_view current, std::string_view picked) {
  if (picked.empty() || picked == ".") {
    return std::string(current);
  }
  if (picked == kParentLine || picked == "..") {
    const size_t firstPart = current.find_first_not_of('.');
    const std::string_view rest =
        firstPart == std::string_view::npos ? std::string_view{} : current.substr(firstPart);
    const size_t separator = FirstSeparator(rest);
    if (separator == std::string_view::npos) {
      return std::string(kRootName);
    }
    return std::string(rest.substr(separator + 1));
  }
  if (current.empty() || current == kRootName || picked.front() == '.') {
    return MakeFullName(picked);
  }
  std::string next;
  next.reserve(current.size() + picked.size() + 2);
  if (current.front() == '.') {
    next.push_back('.');
    next += picked;
    next += current;
  } else {
    next += picked;
    next.push_back('.');
    next += current;
  }
  return next;
}
