// zolm: look inside the shared-memory tables of a switch.
//
//   zolm ls                      the tables under the root
//   zolm show TABLE              header dump, writer and sizes (and slabs)
//   zolm dump TABLE [--json]     every entry, in table order
//   zolm get TABLE KEY           one entry, the key in its text form
//   zolm validate TABLE          whole-table check; exit 0 only when sound
//   zolm watch TABLE             print changes as they happen
//   zolm types [TYPE]            the registered types, or one type's attributes
//
// Read-only: tables are opened with the lock-free reader, never the writer,
// and no file of a table is ever written. Every file is opened without
// blocking and only when it is a regular file (Mem::openRegular).
//
// The tool is a generic client: it is compiled against no table. The value
// type is found in the registered types by the name in the slot file's
// header, the key type by the type of the value's key attribute; keys are
// parsed and values printed through the types' operations, and the table's
// engine forms are reached through the table-access registry by the value
// type's name (tables/TableAccess.h).
//
// Output is streamed: a dump holds one entry at a time, whatever the
// table's size. A failed write on standard output is an error exit.
//
// Exit status (also in --help):
//   0  ok
//   1  not found (get), not sound (validate), corrupt while reading
//   2  usage or bad input (options, table path, key text, --root)
//   3  table missing, unreadable or cannot be attached
//   4  validate: the writer changed the table during every look
//   5  standard output could not be written
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <linux/magic.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include <fmt/format.h>

#include "Json.h"
#include "VexaSwitchLib/Bloka/Slab.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"
#include "VexaSwitchLib/runtime/CharRange.h"
#include "VexaSwitchLib/runtime/Reflection.h"
#include "VexaSwitchLib/tables/TableAccess.h"
#include "VexaSwitchLib/runtime/Nimbr.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "VexaSwitchLib/runtime/Version.h"

namespace {

namespace fs = std::filesystem;

enum Exit { OK = 0, NOT_FOUND = 1, USAGE = 2, NO_TABLE = 3, CHANGED = 4, OUTPUT = 5 };

constexpr char const* EXIT_HELP =
    "Exit status: 0 ok; 1 not found (get, types), not sound (validate) or corrupt while reading; 2 usage or bad input; "
    "3 table missing, unreadable or cannot be attached; 4 validate: the table changed during every look; "
    "5 standard output could not be written.";

struct Failure {
  int code;
  std::string msg;
};
[[noreturn]] void fail(int code, std::string msg) { throw Failure{code, std::move(msg)}; }

// Bytes from a file shown on one line: printable ASCII as is, anything
// else (and the backslash) as \xNN.
std::string printable(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c >= 0x7f || c == '\\') out += fmt::format("\\x{:02x}", c);
    else out += char(c);
  }
  return out;
}

// --- standard output ------------------------------------------------------------------

// Everything the commands print goes through here, so that a write error
// (a full disk, /dev/full, a closed descriptor) ends the tool with OUTPUT
// at the first failed write rather than after the whole table.
void emit(std::string_view s) {
  if (std::fwrite(s.data(), 1, s.size(), stdout) != s.size())
    fail(OUTPUT, fmt::format("cannot write the output: {}", std::strerror(errno)));
}
template <class... A>
void say(fmt::format_string<A...> f, A&&... a) {
  emit(fmt::format(f, std::forward<A>(a)...));
}
void flushOutput() {
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    fail(OUTPUT, fmt::format("cannot write the output: {}", std::strerror(errno ? errno : EIO)));
}

// --- files ----------------------------------------------------------------------------

// What an operator needs to hear about a path that cannot be opened.
std::string openProblem(std::string const& path, int err) {
  switch (err) {
    case ENOENT: return fmt::format("{} does not exist", path);
    case EACCES:
    case EPERM: return fmt::format("permission denied: {}", path);
    case EINVAL: return fmt::format("{} is not a regular file", path);
    default: return fmt::format("cannot open {}: {}", path, std::strerror(err));
  }
}

// errno of opening `path` for reading, 0 when it opens.
int probe(std::string const& path) {
  int fd = Mem::openRegular(path, O_RDONLY);
  if (fd < 0) return errno;
  ::close(fd);
  return 0;
}

// The first `n` bytes of a regular file, read once; `size` is the file's.
bool readPrefix(std::string const& path, void* buf, std::size_t n, U64& size, std::string& why) {
  int fd = Mem::openRegular(path, O_RDONLY);
  if (fd < 0) {
    why = openProblem(path, errno);
    return false;
  }
  struct stat st;
  ::fstat(fd, &st);
  size = U64(st.st_size);
  ssize_t got = ::pread(fd, buf, n, 0);
  int err = errno;
  ::close(fd);
  if (got < 0) {
    why = fmt::format("cannot read {}: {}", path, std::strerror(err));
    return false;
  }
  if (std::size_t(got) != n) {
    why = fmt::format("{} is shorter than its header ({} bytes)", path, got);
    return false;
  }
  return true;
}

struct SlotFile {
  Zolm::SlotHeaderCommon h;
  U64 size = 0;
  // The type name, escaped for printing; checked for termination.
  std::string typeText() const { return printable(h.typeNameView()); }
};

// The common header of a table's slot file, read as plain bytes.
std::optional<SlotFile> readHeader(std::string const& dir, std::string& why) {
  SlotFile f;
  if (!readPrefix(dir + "/slots", &f.h, sizeof f.h, f.size, why)) return std::nullopt;
  if (f.h.magic != Zolm::SlotHeaderCommon::MAGIC) {
    why = fmt::format("not a slot file: bad magic {:#x}", f.h.magic);
    return std::nullopt;
  }
  return f;
}

std::string tableDir(std::string const& table) {
  try {
    Mem::RootPath::checkTablePath(table);
  } catch (Quiv::Exception const& e) {
    fail(USAGE, fmt::format("bad table name \"{}\": {}", printable(table), e.msg()));
  }
  return Mem::RootPath::shmRoot() + "/" + table;
}

std::string markerPath(std::string const& dir) { return dir + "/" + std::string(Zolm::CORRUPTION_MARKER); }

// The corruption marker's first line, when a reader or writer left one.
std::optional<std::string> corruptionReport(std::string const& dir) {
  char buf[160] = {};
  std::string path = markerPath(dir);
  int fd = Mem::openRegular(path, O_RDONLY);
  if (fd < 0) return errno == ENOENT ? std::nullopt : std::optional(fmt::format("({})", openProblem(path, errno)));
  ssize_t n = ::read(fd, buf, sizeof buf - 1);
  ::close(fd);
  std::string_view text(buf, n > 0 ? std::size_t(n) : 0);
  text = text.substr(0, text.find('\n'));
  return printable(text);
}

// The table's writer as its files record it. The owner file names the pid
// and carries the writer lock, so "alive" is the lock's state (a probe with
// a shared lock, never the writer's exclusive one). Without an owner pid
// the fenix id still names the writer's pid, truncated to 16 bits. An owner
// file this user cannot open leaves the writer's state unknown.
struct Writer {
  U32 pid = 0;
  bool fromFenix = false;
  bool known = true;
  bool alive = false;
  std::string ownerError;
  std::string text() const {
    std::string state = !known ? "unknown" : alive ? "alive" : "gone";
    std::string t = !pid && known ? std::string("none")
                    : !pid        ? std::string("unknown")
                    : fromFenix   ? fmt::format("{} (fenix id, {})", pid, state)
                                  : fmt::format("{} ({})", pid, state);
    if (!ownerError.empty()) t += fmt::format(" [owner file {}]", ownerError);
    return t;
  }
};
Writer writerOf(std::string const& table) {
  Writer w;
  Mem::RootPath root(nullptr, table);
  std::string ownerPath = SharedMem::OwnerFile(root).path();
  if (int err = probe(ownerPath); err && err != ENOENT) {
    w.known = false;
    w.ownerError = err == EACCES || err == EPERM ? "permission denied: " + ownerPath : openProblem(ownerPath, err);
  } else {
    try {
      w.pid = SharedMem::OwnerFile(root).ownerPid();
    } catch (Quiv::Exception const&) {
      w.ownerError = "unreadable";
    }
    w.alive = Mem::WriterLock::ownerIsAlive(root);
  }
  if (!w.pid) {
    SharedMem::FenixId fenix = SharedMem::FenixFile(root).read();
    if (!fenix.isNull()) {
      w.pid = fenix.pid();
      w.fromFenix = true;
    }
  }
  return w;
}

// A value of a registered type, made and read through its operations.
class Obj {
 public:
  explicit Obj(Kel::Type t, void const* src = nullptr)
      : t_(t), mem_(new std::max_align_t[t.size() / sizeof(std::max_align_t) + 1]) {
    t_.methods()->genericIfConstruct(p(), src);
  }
  Obj(Obj const& o) : Obj(o.t_, o.p()) {}
  Obj& operator=(Obj const& o) {
    if (this != &o) {
      t_.methods()->genericIfDestruct(p());
      t_.methods()->genericIfConstruct(p(), o.p());
    }
    return *this;
  }
  ~Obj() { t_.methods()->genericIfDestruct(p()); }
  void* p() { return mem_.get(); }
  void const* p() const { return mem_.get(); }
  std::string text() const { return std::string(t_.methods()->genericIfStrRep(p(), t_, 0).view()); }

 private:
  Kel::Type t_;
  std::unique_ptr<std::max_align_t[]> mem_;
};

// A table's types and engine forms, found by the value type's name.
struct Table {
  VexaSwitch::TableKind const* kind;
  Kel::Type value;
  Kel::Type key;
  Kel::Attr keyAttr;
  std::string_view typeName() const { return kind->valueType; }
  bool queued() const { return (kind->headerFlags & Zolm::SlotHeaderCommon::FLAG_NOTIFY) != 0; }
  Obj newValue() const { return Obj(value); }
  Obj newKey() const { return Obj(key); }
  // The key of a value, into `out`.
  void keyOf(Obj const& v, Obj& out) const {
    value.ops()->genericIfAttributeOp(out.p(), const_cast<void*>(v.p()), &keyAttr, Kel::GET, nullptr, nullptr);
  }
};

// The table whose value type is named `typeName`, when the library has one
// and its types are registered.
std::optional<Table> findTable(std::string_view typeName) {
  Table t{VexaSwitch::tableKind(typeName), Kel::findType(typeName), {}, {}};
  if (!t.kind || !t.value || !t.value.methods()) return std::nullopt;
  t.keyAttr = t.value.keyAttr();
  if (t.keyAttr) t.key = Kel::findType(t.keyAttr.typeName());
  if (!t.key || !t.key.methods()) return std::nullopt;
  return t;
}

// The header checks of an attach, on plain reads of the files, before the
// tool maps anything: a table that fails them is reported with the check
// that failed. The type is compared first, so that a file of another
// table type says so rather than naming the first size that differs.
void checkBeforeAttach(Table const& t, std::string const& table) {
  Mem::RootPath root(nullptr, table);
  SharedMem::FenixFile fenixFile(root);
  for (std::string const& path : {root.filePath("slots"), fenixFile.path(), root.filePath("buckets")})
    if (int err = probe(path)) fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, openProblem(path, err)));
  SharedMem::FenixId fenix = fenixFile.read();
  if (fenix.isNull())
    fail(NO_TABLE, fmt::format("{}: cannot attach: fenix file {} is garbled", table, fenixFile.path()));
  std::string why;
  auto f = readHeader(root.dirName(), why);
  if (!f) fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, why));
  if (f->h.typeNameView() != t.typeName())
    fail(NO_TABLE, fmt::format("{}: cannot attach: file holds values of type {} wanted {}", table, f->typeText(),
                               t.typeName()));
  Quiv::String error;
  if (!Zolm::SlotTable::validateHeader(nullptr, f->h, f->size, fenix.value(), t.kind->slotSize, t.kind->valueSize,
                                       t.typeName(), error))
    fail(NO_TABLE, fmt::format("{}: cannot attach: slot file: {}", table, error));
  ZolmCore::BucketHeader b{};
  U64 size = 0;
  if (!readPrefix(root.filePath("buckets"), &b, sizeof b, size, why))
    fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, why));
  if (!b.validate(size, fenix.value(), error))
    fail(NO_TABLE, fmt::format("{}: cannot attach: bucket file: {}", table, error));
}

std::unique_ptr<VexaSwitch::TableReader> attach(Table const& t, std::string const& table) {
  checkBeforeAttach(t, table);
  auto r = t.kind->reader(table);
  bool ok = false;
  try {
    ok = r->initialize("zolm");
  } catch (Quiv::Exception const& e) {
    fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, e.msg()));
  }
  if (!ok) fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, r->lastError()));
  return r;
}

// A key from its text form, through the key type's operations.
std::optional<Obj> parseKey(Table const& t, std::string const& text, std::string& error) {
  if (!t.key.parseable()) {
    error = fmt::format("keys of type {} cannot be parsed", t.key.name());
    return std::nullopt;
  }
  Obj k = t.newKey();
  try {
    t.key.methods()->genericIfStrepToValue(k.p(), Quiv::String(text), t.key, 0);
    return k;
  } catch (Quiv::Exception const& e) {
    error = e.msg();
  }
  return std::nullopt;
}

// Walks the table in its order, calling f(value, slot). A damaged chain can
// loop; a walk longer than the table is reported rather than followed on.
template <class F>
void walk(Table const& t, VexaSwitch::TableReader& r, std::string const& table, F&& f) {
  Obj v = t.newValue(), k = t.newKey();
  Zolm::IterHint hint;
  U64 count = 0;
  for (bool more = r.first(v.p(), hint); more; more = (t.keyOf(v, k), r.next(k.p(), v.p(), hint))) {
    if (++count > r.capacity())
      fmthrow(Quiv::CorruptionDetectedException, "{}: walked {} entries in a table of {} slots", table, count,
              r.capacity());
    f(v, hint.slot);
  }
}

// Runs `body(table)` for the table's types and forms.
template <class Body>
void forTable(std::string const& table, Body&& body) {
  std::string dir = tableDir(table);
  struct stat st;
  if (::stat(dir.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR)
      fail(NO_TABLE, fmt::format("{}: no such table under {}", table, Mem::RootPath::shmRoot()));
    fail(NO_TABLE, fmt::format("{}: {}", table, openProblem(dir, errno)));
  }
  if (!S_ISDIR(st.st_mode)) fail(NO_TABLE, fmt::format("{}: {} is not a table directory", table, dir));
  std::string why;
  auto f = readHeader(dir, why);
  if (!f) fail(NO_TABLE, fmt::format("{}: unreadable: {}", table, why));
  if (::strnlen(f->h.typeName, sizeof f->h.typeName) == sizeof f->h.typeName)
    fail(NO_TABLE, fmt::format("{}: unreadable: the type name is not terminated: \"{}\"", table, f->typeText()));
  auto t = findTable(f->h.typeNameView());
  if (!t) fail(NO_TABLE, fmt::format("{}: unknown value type \"{}\"", table, f->typeText()));
  body(*t);
}

// --- ls -------------------------------------------------------------------------------

// Kernel file systems that hold no tables and whose walk is costly or
// endless: not entered, so that `--root /` lists what is there.
bool pseudoFileSystem(std::string const& dir) {
  struct statfs s;
  if (::statfs(dir.c_str(), &s) != 0) return false;
  switch (static_cast<unsigned long>(s.f_type)) {
    case PROC_SUPER_MAGIC:
    case SYSFS_MAGIC:
    case CGROUP_SUPER_MAGIC:
    case CGROUP2_SUPER_MAGIC:
    case DEBUGFS_MAGIC:
    case TRACEFS_MAGIC:
    case SECURITYFS_MAGIC:
    case DEVPTS_SUPER_MAGIC:
    case BPF_FS_MAGIC:
    case PSTOREFS_MAGIC: return true;
    default: return false;
  }
}

// Table directories (those holding a "slots" that is not a directory; not
// entered further)
// under `root`, and the directories that could not be listed with why.
// Symbolic links are not followed.
void findTables(std::string const& root, std::vector<std::string>& tables,
                std::vector<std::pair<std::string, std::string>>& unlisted) {
  constexpr int MAX_DEPTH = 32;
  std::vector<std::pair<fs::path, int>> todo{{fs::path(root), 0}};
  while (!todo.empty()) {
    auto [dir, depth] = todo.back();
    todo.pop_back();
    std::string rel = dir == fs::path(root) ? "." : fs::relative(dir, root).string();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    std::vector<fs::path> subdirs;
    bool isTable = false;
    for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
      // The types come from the directory listing itself where the file
      // system gives them: no system call per entry.
      std::error_code tec;
      bool isDir = !it->is_symlink(tec) && it->is_directory(tec);
      if (isDir) subdirs.push_back(it->path());
      else if (it->path().filename() == "slots") isTable = true;
    }
    if (ec) {
      unlisted.emplace_back(rel, ec.value() == EACCES || ec.value() == EPERM ? std::string("permission denied")
                                                                                : ec.message());
      continue;
    }
    if (isTable) {
      tables.push_back(rel);
      continue;
    }
    if (depth >= MAX_DEPTH) continue;
    for (auto& d : subdirs)
      if (!pseudoFileSystem(d.string())) todo.emplace_back(d, depth + 1);
  }
}

int cmdLs() {
  std::string root = Mem::RootPath::shmRoot();
  std::vector<std::string> tables;
  std::vector<std::pair<std::string, std::string>> unlisted;
  findTables(root, tables, unlisted);
  // Tables and unreadable directories in one order, as they sit in the tree.
  std::vector<std::pair<std::string, std::string>> rows;  // name, note ("" for a table)
  for (auto& t : tables) rows.emplace_back(t, std::string());
  for (auto& [d, why] : unlisted) rows.emplace_back(d + "/", why);
  std::sort(rows.begin(), rows.end());
  say("{:<44} {:<36} {:>9} {:>9} {:>9}  {}\n", "TABLE", "TYPE", "SLOTS", "MEMBERS", "REQUESTED", "WRITER");
  for (auto const& [t, note] : rows) {
    if (!note.empty()) {
      say("{:<44} not listed: {}\n", printable(t), note);
      continue;
    }
    std::string dir = root == "/" ? "/" + t : root + "/" + t;
    std::string why;
    auto f = readHeader(dir, why);
    Quiv::String error;
    if (f && !Zolm::SlotTable::validateHeader(nullptr, f->h, f->size, 0, f->h.slotSize, f->h.valueSize, {}, error)) {
      why = error;
      f.reset();
    }
    Writer w = writerOf(t);
    std::string marker;
    if (auto report = corruptionReport(dir)) marker = fmt::format("  corruption reported: {}", *report);
    if (!f) {
      say("{:<44} unreadable: {}  writer {}{}\n", printable(t), why, w.text(), marker);
      continue;
    }
    say("{:<44} {:<36} {:>9} {:>9} {:>9}  {}{}\n", printable(t), f->typeText(), f->h.numSlots, f->h.occupiedSlots,
        f->h.maxSlots, w.text(), marker);
  }
  if (!unlisted.empty())
    fmt::print(stderr, "zolm: {} director{} under {} could not be listed\n", unlisted.size(),
               unlisted.size() == 1 ? "y" : "ies", root);
  return OK;
}

// The slab files of a table whose values live in slabs, read from the
// files (opened as the other files are: regular files only, never
// blocking, never mapped writable): per slab its entries, those in use,
// their payload bytes, and how much of the slab's payload room they fill.
void printSlabs(Mem::RootPath const& root) {
  say("{:<8} {:>9} {:>9} {:>12} {:>6}\n", "SLAB", "ENTRIES", "OCCUPIED", "PAYLOAD", "USED");
  for (U32 i = 0; i < Bloka::NUM_SLABS; ++i) {
    std::string name = Bloka::slabFileName(i), path = root.filePath(name);
    int fd = Mem::openRegular(path, O_RDONLY);
    if (fd < 0) {
      if (errno != ENOENT) say("{:<8} unreadable: {}\n", name, openProblem(path, errno));
      continue;
    }
    std::vector<char> bytes;
    char chunk[1 << 16];
    ssize_t got;
    while ((got = ::read(fd, chunk, sizeof chunk)) > 0) bytes.insert(bytes.end(), chunk, chunk + got);
    int err = errno;
    ::close(fd);
    if (got < 0) {
      say("{:<8} unreadable: cannot read {}: {}\n", name, path, std::strerror(err));
      continue;
    }
    Bloka::SlabHeader h{};
    Quiv::String error;
    if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
    if (!h.validate(nullptr, bytes.size(), 0, error) || h.entrySize <= Bloka::ENTRY_HEAD) {
      say("{:<8} unreadable: {}\n", name, error.empty() ? std::string("bad entrySize") : std::string(error));
      continue;
    }
    U32 const maxPayload = h.entrySize - Bloka::ENTRY_HEAD;
    U64 payload = 0;
    for (U32 e = 0; e < h.numEntries; ++e) {
      U32 w = Bloka::loadWord(bytes.data() + Bloka::HEADER_SIZE + U64(e) * h.entrySize);
      if (!(w & Bloka::FREE_BIT) && w <= maxPayload) payload += w;
    }
    double used = h.numEntries ? 100.0 * double(payload) / (double(h.numEntries) * maxPayload) : 0;
    say("{:<8} {:>9} {:>9} {:>12} {:>5.1f}%\n", name, h.numEntries, h.numOccupied, payload, used);
  }
}

// --- show, dump, get ------------------------------------------------------------------

int cmdShow(std::string const& table) {
  forTable(table, [&](Table const& t) {
    auto r = attach(t, table);
    Writer w = writerOf(table);
    emit(r->dumpHeaders());
    say("fenixId: {}\nwriter: {}\nmembers: {} capacity: {} buckets: {} requested size: {}\n", r->fenixId(), w.text(),
        r->members(), r->capacity(), r->buckets(), r->maxSize());
    if (t.kind->dynamic) printSlabs(r->rootPath());
    if (auto report = corruptionReport(r->rootPath().dirName()))
      say("corruption reported: {} (see {})\n", *report, markerPath(r->rootPath().dirName()));
  });
  return OK;
}

int cmdDump(std::string const& table, bool json) {
  forTable(table, [&](Table const& t) {
    auto r = attach(t, table);
    std::string line;
    bool first = true;
    if (json) emit("[");
    try {
      walk(t, *r, table, [&](Obj const& v, U32 slot) {
        line.clear();
        if (json)
          fmt::format_to(std::back_inserter(line), "{}\n  {{\"slot\": {}, \"value\": {}}}", first ? "" : ",", slot,
                         Zolm::Tool::jsonString(v.text()));
        else
          fmt::format_to(std::back_inserter(line), "{}\n", v.text());
        emit(line);
        first = false;
      });
    } catch (Quiv::CorruptionDetectedException const& e) {
      flushOutput();
      fail(NOT_FOUND, fmt::format("{}: corrupt table: {}", table, e.msg()));
    }
    if (json) emit(first ? "]\n" : "\n]\n");
  });
  return OK;
}

int cmdGet(std::string const& table, std::string const& keyText) {
  int rc = OK;
  forTable(table, [&](Table const& t) {
    std::string error;
    auto key = parseKey(t, keyText, error);
    if (!key) fail(USAGE, fmt::format("bad key \"{}\": {}", printable(keyText), error));
    auto r = attach(t, table);
    bool found = false;
    Obj v = t.newValue();
    try {
      found = r->lookup(key->p(), v.p());
    } catch (Quiv::CorruptionDetectedException const& e) {
      fail(NOT_FOUND, fmt::format("{}: corrupt table: {}", table, e.msg()));
    }
    if (!found) {
      fmt::print(stderr, "zolm: {}: {}: not found\n", table, key->text());
      rc = NOT_FOUND;
      return;
    }
    say("{}\n", v.text());
  });
  return rc;
}

// --- validate -------------------------------------------------------------------------

// What tells whether the writer changed the table while a look read it:
// the queue's tail (every change of a slot appends a record), the two
// resize words, the slot header's counts and free-list head, the fenix id,
// and the writer's critical-section bit (set inside an operation).
struct Marks {
  U32 fenix = 0;
  U64 tail = 0;
  U64 slotResize = 0, bucketResize = 0;
  U32 occupied = 0, freeList = 0;
  bool critical = false;
  bool operator==(Marks const&) const = default;
};

// How often validate looks at a table that a writer keeps changing, and
// how long it waits before the next look (doubled each time).
constexpr int VALIDATE_LOOKS = 8;
constexpr auto VALIDATE_PAUSE = std::chrono::milliseconds(10);

int validateTable(Table const& t, std::string const& table) {
  bool const queued = t.queued();
  std::unique_ptr<VexaSwitch::TableReader> r;
  std::optional<Nimbr::NimbrReader> queue;
  std::optional<Mem::SharedMemWrapper> buckets;
  ZolmCore::BucketHeader const* bucketHeader = nullptr;
  std::string queueError;
  // The queue is attached again at a look that finds it detached: a
  // queue being re-formatted refuses an attach for a moment.
  auto attachQueue = [&] {
    queueError.clear();
    if (!queue) queue.emplace(nullptr, r->rootPath());
    Quiv::String error;
    if (!queue->attach(error)) queueError = fmt::format("queue: {}", error);
  };
  auto attachAll = [&] {
    r = attach(t, table);
    buckets.emplace(r->rootPath(), "buckets", Mem::SharedMemWrapper::Mode::readOnly);
    bucketHeader = static_cast<ZolmCore::BucketHeader const*>(buckets->attach(ZolmCore::BucketHeader::SIZE));
    queue.reset();
    if (queued) attachQueue();
  };
  auto marks = [&] {
    Marks m;
    m.fenix = SharedMem::FenixFile(r->rootPath()).read().value();
    Zolm::SlotHeaderCommon h = r->header();
    m.slotResize = *h.resizeWord();
    m.occupied = h.occupiedSlots;
    m.freeList = h.freeList;
    m.critical = h.runtimeFlags & Zolm::SlotHeaderCommon::RUNTIME_CRITICAL;
    m.bucketResize = bucketHeader ? Mem::load64(bucketHeader->resizeWord()) : 0;
    m.tail = queue && queue->attached() ? queue->tailSeq() : 0;
    return m;
  };
  // After a look: a writer caught inside an operation finishes it in
  // microseconds; a critical bit that stays set belongs to a writer that
  // stopped inside one.
  auto settledMarks = [&] {
    Marks m = marks();
    for (int i = 0; m.critical && i < 20; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      m = marks();
    }
    return m;
  };
  attachAll();
  std::string lastFailure;  // of the previous quiet look
  std::string failure;
  auto pause = VALIDATE_PAUSE;
  for (int look = 1; look <= VALIDATE_LOOKS; ++look) {
    if (queue && !queue->attached()) attachQueue();
    Marks before = marks();
    U32 walked = 0;
    failure.clear();
    if (!r->validateWalk(walked)) failure = r->lastError();
    if (failure.empty() && !queueError.empty()) failure = queueError;
    if (failure.empty() && queue) {
      Quiv::String error;
      if (!queue->check(r->fenixId().value(), r->header().maxNumSlots, error)) failure = "queue: " + error;
    }
    Marks after = settledMarks();
    if (after.critical && !Mem::WriterLock::ownerIsAlive(r->rootPath()))
      failure = "the writer stopped inside a change (critical section set) and is gone";
    bool quiet = before == after && !before.critical;
    // Every insert or remove appends at least one record, and moves the
    // count of entries a walk can see by at most one: with queue records
    // to account for it, the walk may differ from the header by as many.
    U64 changes = queued && after.tail >= before.tail && after.fenix == before.fenix ? after.tail - before.tail : 0;
    bool accountable = quiet || (queued && after.fenix == before.fenix && after.slotResize == before.slotResize);
    U32 members = after.occupied;
    if (failure.empty() && accountable) {
      U64 diff = walked > members ? walked - members : members - walked;
      if (diff > changes)
        failure = changes ? fmt::format("walked {} entries but the header counts {}, with only {} changes meanwhile",
                                        walked, members, changes)
                          : fmt::format("walked {} entries but the header counts {}", walked, members);
    }
    if (failure.empty() && accountable) {
      if (quiet) say("ok: {} entries\n", members);
      else say("ok: {} entries (the writer made {} changes during the check)\n", members, changes);
      if (auto report = corruptionReport(r->rootPath().dirName()))
        say("note: a corruption was reported earlier: {} (see {}); it stays until the next writer attaches\n",
            *report, markerPath(r->rootPath().dirName()));
      return OK;
    }
    if (!failure.empty() && quiet && failure == lastFailure) {
      fmt::print(stderr, "zolm: {}: not sound: {}\n", table, failure);
      return NOT_FOUND;
    }
    if (!failure.empty() && failure.starts_with("the writer stopped")) {
      fmt::print(stderr, "zolm: {}: not sound: {}\n", table, failure);
      return NOT_FOUND;
    }
    // A failure on a table that nothing changed is looked at once more
    // (the same failure again is the table's); anything else raced the
    // writer and is looked at again after a pause.
    lastFailure = quiet ? failure : std::string();
    if (after.fenix != before.fenix || !r->validateFiles()) attachAll();
    if (!quiet) {
      std::this_thread::sleep_for(pause);
      pause *= 2;
    }
  }
  fmt::print(stderr, "zolm: {}: changed during the check: the writer changed the table during each of {} looks{}\n",
             table, VALIDATE_LOOKS, failure.empty() ? "" : fmt::format(" (last: {})", failure));
  return CHANGED;
}

int cmdValidate(std::string const& table) {
  int rc = OK;
  forTable(table, [&](Table const& t) { rc = validateTable(t, table); });
  return rc;
}

// --- watch ----------------------------------------------------------------------------

volatile sig_atomic_t interrupted = 0;

// Sleeps up to `d`, returning early when a signal asked the tool to stop.
void nap(std::chrono::milliseconds d) {
  auto until = std::chrono::steady_clock::now() + d;
  while (!interrupted && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(
        std::chrono::milliseconds(50), until - std::chrono::steady_clock::now()));
}

U64 fingerprint(std::string_view text) { return std::hash<std::string_view>{}(text); }

// What the tool last printed of each key, as fingerprints of the key's and
// the value's text (so memory is a few words per entry, not the texts), so
// that a change is printed only when the entry's text form changed: a
// rewrite of the same value, or a key added and gone again between two
// looks, prints nothing. The key itself is kept to name it when it goes.
class ChangePrinter {
  using Key = Obj;

 public:
  explicit ChangePrinter(long count) : count_(count) {}
  std::size_t size() const { return known_.size(); }
  void reserve(std::size_t n) { known_.reserve(n); }

  void known(Key const& k, std::string_view value) {
    known_.insert_or_assign(fingerprint(k.text()), Entry{k, fingerprint(value), epoch_});
  }
  void present(Key const& k, std::string const& value) {
    U64 v = fingerprint(value);
    auto [it, added] = known_.try_emplace(fingerprint(k.text()), Entry{k, v, epoch_});
    it->second.epoch = epoch_;
    if (added) {
      print('+', value);
    } else if (it->second.value != v) {
      print('~', value);
      it->second.value = v;
    }
  }
  void absent(Key const& k) {
    if (known_.erase(fingerprint(k.text()))) print('-', k.text());
  }
  // Polling: a round marks what it finds present; what it did not find is
  // gone.
  void roundStarts() { ++epoch_; }
  void roundEnds() {
    for (auto it = known_.begin(); it != known_.end();) {
      if (it->second.epoch != epoch_) {
        print('-', it->second.key.text());
        it = known_.erase(it);
      } else {
        ++it;
      }
    }
  }
  bool done() const { return count_ > 0 && printed_ >= count_; }

 private:
  struct Entry {
    Key key;
    U64 value;
    U32 epoch;
  };
  void print(char what, std::string const& text) {
    if (done()) return;
    say("{} {}\n", what, text);
    flushOutput();
    ++printed_;
  }
  std::unordered_map<U64, Entry> known_;  // key text fingerprint -> entry
  long count_;
  long printed_ = 0;
  U32 epoch_ = 0;
};

// A line on stderr now and then while a long step runs.
class Progress {
 public:
  explicit Progress(std::string table) : table_(std::move(table)) {}
  template <class... A>
  void operator()(fmt::format_string<A...> f, A&&... a) {
    auto now = std::chrono::steady_clock::now();
    if (now < next_) return;
    next_ = now + std::chrono::seconds(1);
    fmt::print(stderr, "{}: {}\n", table_, fmt::format(f, std::forward<A>(a)...));
  }

 private:
  std::string table_;
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
};

// A table whose files a writer of another value type laid out: the files
// agree on one fenix id, and the slot header names another type. Such a
// table will not be this type again; the caller ends the watch.
std::optional<std::string> otherType(Table const& t, std::string const& table) {
  Mem::RootPath root(nullptr, table);
  SharedMem::FenixId fenix = SharedMem::FenixFile(root).read();
  std::string why;
  auto f = readHeader(root.dirName(), why);
  if (!f || fenix.isNull() || f->h.fenixId != fenix.value() || f->h.typeNameView() == t.typeName())
    return std::nullopt;
  return fmt::format("{}: file holds values of type {} wanted {}", table, f->typeText(), t.typeName());
}

// Looks at the whole table every `intervalMs` and prints the differences:
// for tables without a notification queue, or when the shadow cannot
// follow the table.
void watchByPolling(Table const& t, std::string const& table, int intervalMs, long count) {
  auto r = attach(t, table);
  ChangePrinter out(count);
  out.reserve(r->members());
  Obj k = t.newKey();
  walk(t, *r, table, [&](Obj const& v, U32) {
    t.keyOf(v, k);
    out.known(k, v.text());
  });
  say("watching {} ({} entries)\n", table, out.size());
  flushOutput();
  while (!interrupted && !out.done()) {
    nap(std::chrono::milliseconds(intervalMs));
    if (interrupted) break;
    try {
      if (!r->validateFiles()) {
        if (auto other = otherType(t, table)) fail(NO_TABLE, *other);
        fmt::print(stderr, "{}: writer changed, attaching again\n", table);
        r = attach(t, table);
      }
      out.roundStarts();
      walk(t, *r, table, [&](Obj const& v, U32) {
        t.keyOf(v, k);
        out.present(k, v.text());
      });
    } catch (Quiv::CorruptionDetectedException const&) {
      r = attach(t, table);
      continue;
    }
    out.roundEnds();
  }
}

// Follows the table through a key shadow: the writer wakes it when records
// arrive in the notification queue, and each changed key is looked up in
// the shadow (the value comes from shared memory). Between changes the tool
// sleeps in its event loop. False, before anything is printed, when the
// shadow cannot attach; the caller then polls.
bool watchByShadow(Table const& t, std::string const& table, long count, std::string& why) {
  checkBeforeAttach(t, table);
  Quiv::EventLoop loop;
  ChangePrinter out(count);
  bool synced = false;
  // Set once the starting point is printed: a change that arrives before
  // (the loop goes on servicing the queue in the slice that completes the
  // synchronisation) is already in the shadow, so in the listing.
  bool listed = false;
  std::unique_ptr<VexaSwitch::TableShadow> shadow;
  VexaSwitch::TableShadowEvents cb;
  std::optional<Failure> stop;
  // The first synchronisation is the starting point, listed below once it
  // is complete; what it finds is not a change.
  cb.syncChanged = [](void const*) {};
  cb.syncComplete = [&] { synced = true; };
  cb.changed = [&](void const* key) {
    if (!listed || stop) return;
    try {
      Obj k(t.key, key), v = t.newValue();
      if (shadow->lookup(k.p(), v.p())) out.present(k, v.text());
      else out.absent(k);
    } catch (Failure const& f) {
      stop = f;  // the output failed: end the loop, then the tool
    }
    if (out.done() || stop) loop.stop();
  };
  shadow = t.kind->keyShadow(table, loop, std::move(cb));
  // However the watch ends: detaching replays every local key as a
  // change, and none of them is one (nor may it print while unwinding).
  struct Silence {
    std::unique_ptr<VexaSwitch::TableShadow>& shadow;
    ~Silence() { shadow->silence(); }
  } silence{shadow};
  bool ok = false;
  try {
    ok = shadow->initialize("zolm watch");
  } catch (Quiv::Exception const& e) {
    why = e.msg();
    return false;
  }
  if (!ok) {
    std::string_view error = shadow->lastError().empty() ? shadow->readerLastError() : shadow->lastError();
    why = error.empty() ? std::string("cannot attach to the notification queue") : std::string(error);
    return false;
  }
  // The synchronisation reads every slot; it goes on from the loop after
  // each slice. Long ones are told on stderr; one that stops making
  // progress for 30 s is given up.
  Progress progress(table);
  U32 seen = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  while (!synced && !interrupted) {
    loop.runOnce(50);
    U32 now = shadow->members();
    if (now != seen) {
      seen = now;
      lastProgress = std::chrono::steady_clock::now();
    }
    progress("synchronising: {} of {} entries read", seen, shadow->readerMembers());
    if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(30)) {
      why = "the first synchronisation made no progress for 30 s";
      return false;
    }
  }
  if (interrupted) return true;
  out.reserve(shadow->members());
  Obj v = t.newValue(), k = t.newKey();
  Zolm::IterHint hint;
  for (bool more = shadow->first(v.p(), hint); more && !interrupted; more = shadow->next(k.p(), v.p(), hint)) {
    t.keyOf(v, k);
    out.known(k, v.text());
    progress("listing: {} of {} entries", out.size(), shadow->members());
  }
  say("watching {} ({} entries)\n", table, out.size());
  flushOutput();
  listed = true;
  // A periodic look at the connection, only to tell the user: the shadow
  // re-attaches by itself when a new writer appears, and its new
  // synchronisation reports what changed meanwhile. A writer of another
  // value type never lets it re-attach: that ends the watch.
  bool following = true;
  if (!shadow->connected()) {
    fmt::print(stderr, "{}: no writer is running; waiting for one\n", table);
    following = false;
  }
  loop.timerIs(
      std::chrono::milliseconds(250),
      [&] {
        if (interrupted) loop.stop();
        bool now = shadow->connected() && shadow->initialized();
        if (!shadow->initialized()) {
          if (auto other = otherType(t, table)) {
            stop = Failure{NO_TABLE, *other};
            loop.stop();
            return;
          }
        }
        if (now != following)
          fmt::print(stderr, "{}\n", now ? fmt::format("{}: writer back, synchronising again", table)
                                         : fmt::format("{}: writer went away; waiting for the next one", table));
        following = now;
      },
      std::chrono::milliseconds(250));
  while (!interrupted && !out.done() && !loop.stopped()) loop.runOnce(-1);
  if (stop) throw *stop;
  return true;
}

int cmdWatch(std::string const& table, int intervalMs, long count) {
  // Without SA_RESTART: a signal ends the loop's wait and the tool's naps.
  struct sigaction sa {};
  sa.sa_handler = [](int) { interrupted = 1; };
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  forTable(table, [&](Table const& t) {
    std::string why;
    if (!t.queued()) {
      why = "the table has no notification queue";
    } else {
      if (watchByShadow(t, table, count, why)) return;
    }
    if (interrupted) return;
    fmt::print(stderr, "{}: {}; looking every {} ms instead\n", table, why, intervalMs);
    watchByPolling(t, table, intervalMs, count);
  });
  return OK;
}

// --- types ----------------------------------------------------------------------------

// The registered types (a line each: name, kind, module, index, number of
// attributes), or one type's attributes: id, name, kind, type and whether a
// generic client may set it; a function with its parameters.
int cmdTypes(std::string const& name) {
  if (name.empty()) {
    say("{:<56} {:<10} {:<17} {:>5} {:>5}\n", "TYPE", "KIND", "MODULE", "INDEX", "ATTRS");
    for (Kel::Type t : Kel::types())
      say("{:<56} {:<10} {:<17} {:>5} {:>5}\n", t.name(), Kel::toString(t.kind()), t.module()->unit, t.index(),
          t.attrCount());
    return OK;
  }
  Kel::Type t = Kel::findType(name);
  if (!t) {
    fmt::print(stderr, "zolm: no registered type \"{}\" (see zolm types)\n", printable(name));
    return NOT_FOUND;
  }
  say("{}: {}, module {} index {}{}\n", t.name(), Kel::toString(t.kind()), t.module()->unit, t.index(),
      t.size() ? fmt::format(", {} bytes", t.size()) : std::string());
  say("{:>5}  {:<46} {:<10} {:<40} {}\n", "ID", "ATTRIBUTE", "KIND", "TYPE", "SETTABLE");
  for (U16 i = 0; i < t.attrCount(); ++i) {
    Kel::Attr a = t.attr(i);
    std::string shown(a.name());
    if (a.kind() == Kel::AttrKind::function) shown += fmt::format("({})", fmt::join(a.params(), ", "));
    say("{:>5}  {:<46} {:<10} {:<40} {}\n", a.id(), shown, Kel::toString(a.kind()), a.typeName(),
        a.settable() ? "yes" : "no");
  }
  return OK;
}

// The root every command works under: it must be a directory, and not a
// table's own directory (table paths are named from the root down).
void checkRoot() {
  std::string root = Mem::RootPath::shmRoot();
  struct stat st;
  if (::stat(root.c_str(), &st) != 0) {
    if (errno == ENOENT) fail(NO_TABLE, fmt::format("no shared-memory root {}", root));
    fail(NO_TABLE, fmt::format("shared-memory root: {}", openProblem(root, errno)));
  }
  if (!S_ISDIR(st.st_mode)) fail(USAGE, fmt::format("--root {} is not a directory", root));
  if (::stat((root + "/slots").c_str(), &st) == 0)
    fail(USAGE, fmt::format("--root {} is a table's own directory, not a shared-memory root: give the directory "
                            "its table path starts from, and the table path",
                            root));
  if (::access(root.c_str(), R_OK | X_OK) != 0) fail(NO_TABLE, fmt::format("permission denied: {}", root));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zolm: look inside shared-memory tables (read-only)"};
  app.footer(EXIT_HELP);
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("zolm ") + VEXA_SWITCH_LIB_VERSION_STRING);
  std::string root;
  auto addRoot = [&](CLI::App* c) {
    c->add_option("--root", root, "shared-memory root (default: $VEXA_SHM_ROOT, else /dev/shm/vexa)");
  };
  addRoot(&app);
  std::string table, key;
  bool json = false;
  int interval = 200;
  long count = 0;

  auto* ls = app.add_subcommand("ls", "list the tables under the root");
  addRoot(ls);
  auto* show = app.add_subcommand("show", "print a table's headers, writer and sizes");
  show->add_option("TABLE", table, "table path, e.g. vexaswitch/tables/l2/macTable")->required();
  addRoot(show);
  auto* dump = app.add_subcommand("dump", "print every entry in table order");
  dump->add_option("TABLE", table, "table path")->required();
  dump->add_flag("--json", json, "a JSON array of {slot, value}");
  addRoot(dump);
  auto* get = app.add_subcommand("get", "print the entry of one key");
  get->add_option("TABLE", table, "table path")->required();
  get->add_option("KEY", key, "the key in its text form")->required();
  addRoot(get);
  auto* validate = app.add_subcommand(
      "validate",
      "check the whole table and its queue; exit 0 only when sound. A table its writer changes meanwhile is looked "
      "at again (a few times); when every look raced the writer the exit status is 4");
  validate->add_option("TABLE", table, "table path")->required();
  addRoot(validate);
  auto* watch = app.add_subcommand("watch", "print changes as they happen (+ new, ~ changed, - removed)");
  watch->add_option("TABLE", table, "table path")->required();
  watch->add_option("--interval", interval, "milliseconds between looks when polling (only tables without a notification queue are polled)")->check(CLI::Range(1, 60000));
  watch->add_option("--count", count, "stop after this many changes (0: until interrupted)")
      ->check(CLI::Validator(
          [](std::string& v) {
            return v.starts_with("-") ? std::string("a count of changes is 0 (until interrupted) or more")
                                      : std::string();
          },
          "N>=0"));
  addRoot(watch);
  std::string typeName;
  auto* types = app.add_subcommand("types", "list the registered types, or one type's attributes");
  types->add_option("TYPE", typeName, "a qualified type name, e.g. VexaSwitch::LagGroupIdEntry");
  addRoot(types);  // accepted like every command's; the types need no root
  for (CLI::App* c : {ls, show, dump, get, validate, watch, types}) c->footer(EXIT_HELP);

  constexpr char const* COMMANDS[] = {"ls", "show", "dump", "get", "validate", "watch", "types"};
  // The first word that is neither an option nor --root's value names the
  // command; an unknown one is named rather than reported as missing.
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--root") {
      ++i;
      continue;
    }
    if (a.starts_with("-")) continue;
    if (std::none_of(std::begin(COMMANDS), std::end(COMMANDS), [&](char const* c) { return a == c; })) {
      fmt::print(stderr, "zolm: unknown command \"{}\" (commands: ls, show, dump, get, validate, watch, types; see --help)\n",
                 printable(a));
      return USAGE;
    }
    break;
  }
  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    int rc = app.exit(e);
    return rc == 0 ? OK : USAGE;
  }
  int rc = USAGE;
  try {
    if (*types) {
      rc = cmdTypes(typeName);
      flushOutput();
      return rc;
    }
    if (!root.empty()) Mem::RootPath::shmRootIs(root);
    checkRoot();
    // A dump of a large table goes out in large writes.
    if (!*watch && !::isatty(1)) std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (*ls) rc = cmdLs();
    else if (*show) rc = cmdShow(table);
    else if (*dump) rc = cmdDump(table, json);
    else if (*get) rc = cmdGet(table, key);
    else if (*validate) rc = cmdValidate(table);
    else if (*watch) rc = cmdWatch(table, interval, count);
    flushOutput();
  } catch (Failure const& f) {
    std::fflush(stdout);
    fmt::print(stderr, "zolm: {}\n", f.msg);
    return f.code;
  } catch (Quiv::CorruptionDetectedException const& e) {
    std::fflush(stdout);
    fmt::print(stderr, "zolm: {}: corrupt table: {}\n", table, e.msg());
    return NOT_FOUND;
  } catch (std::exception const& e) {
    std::fflush(stdout);
    fmt::print(stderr, "zolm: {}\n", e.what());
    return NO_TABLE;
  }
  return rc;
}
