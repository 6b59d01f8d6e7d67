// zolm: look inside the shared-memory tables of a switch.
//
//   zolm ls                      the tables under the root
//   zolm show TABLE              header dump, writer and sizes (and slabs)
//   zolm dump TABLE [--json]     every entry, in table order
//   zolm get TABLE KEY           one entry, the key in its text form
//   zolm validate TABLE          whole-table check; exit 0 only when sound
//   zolm watch TABLE             print changes as they happen
//
// Read-only: tables are opened with the lock-free reader, never the writer,
// and no table file is written. The value type is found from the type name
// in the slot file's header.
//
// Exit status: 0 ok, 1 not found / not sound, 2 usage or bad input,
// 3 table missing or cannot be attached.
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "Json.h"
#include "VexaSwitchLib/Bloka/Slab.h"
#include "VexaSwitchLib/tables/Collections.h"
#include "VexaSwitchLib/runtime/CharRange.h"
#include "VexaSwitchLib/runtime/SharedMem.h"
#include "VexaSwitchLib/runtime/Version.h"

namespace {

namespace fs = std::filesystem;

enum Exit { OK = 0, NOT_FOUND = 1, USAGE = 2, NO_TABLE = 3 };

struct Failure {
  int code;
  std::string msg;
};
[[noreturn]] void fail(int code, std::string msg) { throw Failure{code, std::move(msg)}; }

// The text form of a key or value: its formatter, else its attribute text.
template <class T>
std::string textOf(T const& v) {
  if constexpr (fmt::is_formattable<T>::value) {
    return fmt::format("{}", v);
  } else if constexpr (requires(std::string& out) { Kel::AttrText<T>::append(out, v); }) {
    std::string out;
    Kel::AttrText<T>::append(out, v);
    return out;
  } else {
    return Zolm::show(v);
  }
}

// The common header of a table's slot file, read as plain bytes.
std::optional<Zolm::SlotHeaderCommon> readHeader(std::string const& dir, std::string& why) {
  std::ifstream in(dir + "/slots", std::ios::binary);
  if (!in) {
    why = "no slot file";
    return std::nullopt;
  }
  Zolm::SlotHeaderCommon h;
  in.read(reinterpret_cast<char*>(&h), sizeof h);
  if (in.gcount() != sizeof h) {
    why = fmt::format("slot file shorter than its header ({} bytes)", in.gcount());
    return std::nullopt;
  }
  if (h.magic != Zolm::SlotHeaderCommon::MAGIC) {
    why = fmt::format("bad magic {:#x}", h.magic);
    return std::nullopt;
  }
  return h;
}

std::string tableDir(std::string const& table) {
  try {
    Mem::RootPath::checkTablePath(table);
  } catch (Quiv::Exception const& e) {
    fail(USAGE, fmt::format("bad table name \"{}\": {}", table, e.msg()));
  }
  return Mem::RootPath::shmRoot() + "/" + table;
}

// The table's writer as its files record it. The owner file names the pid
// and carries the writer lock, so "alive" is the lock's state (a probe with
// a shared lock, never the writer's exclusive one). Without an owner pid
// the fenix id still names the writer's pid, truncated to 16 bits.
struct Writer {
  U32 pid = 0;
  bool fromFenix = false;
  bool alive = false;
  std::string ownerError;
  std::string text() const {
    std::string t = !pid        ? std::string("none")
                    : fromFenix ? fmt::format("{} (fenix id, {})", pid, alive ? "alive" : "gone")
                                : fmt::format("{} ({})", pid, alive ? "alive" : "gone");
    if (!ownerError.empty()) t += fmt::format(" [owner file {}]", ownerError);
    return t;
  }
};
Writer writerOf(std::string const& table) {
  Writer w;
  Mem::RootPath root(nullptr, table);
  try {
    w.pid = SharedMem::OwnerFile(root).ownerPid();
  } catch (Quiv::Exception const&) {
    w.ownerError = "unreadable";
  }
  w.alive = Mem::WriterLock::ownerIsAlive(root);
  if (!w.pid) {
    SharedMem::FenixId fenix = SharedMem::FenixFile(root).read();
    if (!fenix.isNull()) {
      w.pid = fenix.pid();
      w.fromFenix = true;
    }
  }
  return w;
}

U64 fileSize(std::string const& path) {
  std::error_code ec;
  U64 n = fs::file_size(path, ec);
  return ec ? 0 : n;
}

// The header checks of an attach, on plain reads of the files, before the
// tool maps anything: a table that fails them is reported with the check
// that failed. (Like the reader under it, the tool writes nothing into a
// table.)
template <class Ops>
void checkBeforeAttach(std::string const& table) {
  Mem::RootPath root(nullptr, table);
  SharedMem::FenixId fenix = SharedMem::FenixFile(root).read();
  if (fenix.isNull())
    fail(NO_TABLE, fmt::format("{}: cannot attach: fenix file {} is missing or garbled", table,
                               SharedMem::FenixFile(root).path()));
  std::string why;
  auto h = readHeader(root.dirName(), why);
  if (!h) fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, why));
  Quiv::String error;
  if (!Zolm::SlotTable::validateHeader(nullptr, *h, fileSize(root.filePath("slots")), fenix.value(), Ops::slotSize,
                                       Ops::valueSize, Ops::typeName(), error))
    fail(NO_TABLE, fmt::format("{}: cannot attach: slot file: {}", table, error));
  ZolmCore::BucketHeader b{};
  std::string bucketPath = root.filePath("buckets");
  std::ifstream in(bucketPath, std::ios::binary);
  if (!in) fail(NO_TABLE, fmt::format("{}: cannot attach: no bucket file", table));
  in.read(reinterpret_cast<char*>(&b), sizeof b);
  if (!b.validate(fileSize(bucketPath), fenix.value(), error))
    fail(NO_TABLE, fmt::format("{}: cannot attach: bucket file: {}", table, error));
}

// Calls f.template operator()<Ops>() for the instantiation whose value
// type is named `typeName`; false when none is.
template <class F>
bool withOps(std::string_view typeName, F&& f) {
  return VexaSwitch::AllTableOps::any([&]<class Ops>() {
    if (Ops::typeName() != typeName) return false;
    f.template operator()<Ops>();
    return true;
  });
}

template <class Ops>
std::unique_ptr<Zolm::ZolmReader<Ops>> attach(std::string const& table) {
  checkBeforeAttach<Ops>(table);
  auto r = std::make_unique<Zolm::ZolmReader<Ops>>(nullptr, table);
  bool ok = false;
  try {
    ok = r->initialize("zolm");
  } catch (Quiv::Exception const& e) {
    fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, e.msg()));
  }
  if (!ok) fail(NO_TABLE, fmt::format("{}: cannot attach: {}", table, r->lastError()));
  return r;
}

template <class K>
std::string keyTypeName() {
  if constexpr (requires { K::kelTypeName; }) return std::string(K::kelTypeName);
  else if constexpr (std::is_same_v<K, Lanx::IntfId>) return "Lanx::IntfId";
  else return "of this table";
}

template <class Ops>
std::optional<typename Ops::Key> parseKey(std::string const& text, std::string& error) {
  using K = typename Ops::Key;
  if constexpr (requires(Kel::CharRange& r) { Kel::AttrText<K>::parse(r, "key"); }) {
    try {
      Kel::CharRange r(text);
      K k = Kel::AttrText<K>::parse(r, "key");
      r.checkAllDataConsumed();
      return k;
    } catch (Quiv::Exception const& e) {
      error = e.msg();
    }
  } else {
    error = fmt::format("keys of type {} cannot be parsed", keyTypeName<K>());
  }
  return std::nullopt;
}

// Walks the table in its order, calling f(value, slot). A damaged chain can
// loop; a walk longer than the table is reported rather than followed on.
template <class Ops, class F>
void walk(Zolm::ZolmReader<Ops>& r, std::string const& table, F&& f) {
  typename Ops::Value v;
  Zolm::IterHint hint;
  U64 count = 0;
  for (bool more = r.first(v, hint); more; more = r.next(Ops::keyOf(v), v, hint)) {
    if (++count > r.capacity())
      fmthrow(Quiv::CorruptionDetectedException, "{}: walked {} entries in a table of {} slots", table, count,
              r.capacity());
    f(v, hint.slot);
  }
}

// Runs `body.template operator()<Ops>()` for the table's value type.
template <class Body>
void forTable(std::string const& table, Body&& body) {
  std::string dir = tableDir(table);
  if (!fs::exists(dir)) fail(NO_TABLE, fmt::format("{}: no such table under {}", table, Mem::RootPath::shmRoot()));
  std::string why;
  auto h = readHeader(dir, why);
  if (!h) fail(NO_TABLE, fmt::format("{}: unreadable: {}", table, why));
  std::string type(h->typeNameView());
  if (!withOps(type, body)) fail(USAGE, fmt::format("{}: unknown value type \"{}\"", table, type));
}

// --- commands ---------------------------------------------------------------------

int cmdLs() {
  std::string root = Mem::RootPath::shmRoot();
  std::vector<std::string> tables;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, fs::directory_options::skip_permission_denied, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file() && it->path().filename() == "slots")
      tables.push_back(fs::relative(it->path().parent_path(), root).string());
  }
  if (ec && tables.empty() && !fs::exists(root)) fail(NO_TABLE, fmt::format("no shared-memory root {}", root));
  std::sort(tables.begin(), tables.end());
  fmt::print("{:<44} {:<36} {:>9} {:>9} {:>9}  {}\n", "TABLE", "TYPE", "SIZE", "MEMBERS", "MAX", "WRITER");
  for (auto const& t : tables) {
    std::string why;
    auto h = readHeader(root + "/" + t, why);
    Quiv::String error;
    if (h && !Zolm::SlotTable::validateHeader(nullptr, *h, fileSize(root + "/" + t + "/slots"), 0, h->slotSize,
                                              h->valueSize, {}, error)) {
      why = error;
      h.reset();
    }
    Writer w = writerOf(t);
    if (!h) {
      fmt::print("{:<44} unreadable: {}  writer {}\n", t, why, w.text());
      continue;
    }
    fmt::print("{:<44} {:<36} {:>9} {:>9} {:>9}  {}\n", t, h->typeNameView(), h->numSlots, h->occupiedSlots,
               h->maxSlots, w.text());
  }
  return OK;
}

// The slab files of a table whose values live in slabs, read from the
// files (never mapped writable): per slab its entries, those in use, their
// payload bytes, and how much of the slab's payload room they fill.
void printSlabs(Mem::RootPath const& root) {
  fmt::print("{:<8} {:>9} {:>9} {:>12} {:>6}\n", "SLAB", "ENTRIES", "OCCUPIED", "PAYLOAD", "USED");
  for (U32 i = 0; i < Bloka::NUM_SLABS; ++i) {
    std::string name = Bloka::slabFileName(i);
    std::ifstream in(root.filePath(name), std::ios::binary);
    if (!in) continue;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    Bloka::SlabHeader h{};
    Quiv::String error;
    if (bytes.size() >= sizeof h) std::memcpy(&h, bytes.data(), sizeof h);
    if (!h.validate(nullptr, bytes.size(), 0, error) || h.entrySize <= Bloka::ENTRY_HEAD) {
      fmt::print("{:<8} unreadable: {}\n", name, error.empty() ? std::string("bad entrySize") : std::string(error));
      continue;
    }
    U32 const maxPayload = h.entrySize - Bloka::ENTRY_HEAD;
    U64 payload = 0;
    for (U32 e = 0; e < h.numEntries; ++e) {
      U32 w = Bloka::loadWord(bytes.data() + Bloka::HEADER_SIZE + U64(e) * h.entrySize);
      if (!(w & Bloka::FREE_BIT) && w <= maxPayload) payload += w;
    }
    double used = h.numEntries ? 100.0 * double(payload) / (double(h.numEntries) * maxPayload) : 0;
    fmt::print("{:<8} {:>9} {:>9} {:>12} {:>5.1f}%\n", name, h.numEntries, h.numOccupied, payload, used);
  }
}

int cmdShow(std::string const& table) {
  forTable(table, [&]<class Ops>() {
    auto r = attach<Ops>(table);
    Writer w = writerOf(table);
    fmt::print("{}", r->dumpHeaders());
    fmt::print("fenixId: {}\nwriter: {}\nmembers: {} capacity: {} buckets: {} maxSize: {}\n", r->fenixId(), w.text(),
               r->members(), r->capacity(), r->buckets(), r->maxSize());
    if constexpr (Ops::dynamic) printSlabs(r->rootPath());
    if (fs::exists(r->rootPath().filePath(Zolm::CORRUPTION_MARKER)))
      fmt::print("corruption reported: see {}\n", r->rootPath().filePath(Zolm::CORRUPTION_MARKER));
  });
  return OK;
}

int cmdDump(std::string const& table, bool json) {
  forTable(table, [&]<class Ops>() {
    auto r = attach<Ops>(table);
    std::string out = json ? "[" : "";
    bool first = true;
    try {
      walk(*r, table, [&](typename Ops::Value const& v, U32 slot) {
        std::string text = textOf(v);
        if (json) {
          out += fmt::format("{}\n  {{\"slot\": {}, \"value\": {}}}", first ? "" : ",", slot, Zolm::Tool::jsonString(text));
        } else {
          out += text;
          out += '\n';
        }
        first = false;
      });
    } catch (Quiv::CorruptionDetectedException const& e) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      fail(NOT_FOUND, fmt::format("{}: corrupt table: {}", table, e.msg()));
    }
    if (json) out += first ? "]\n" : "\n]\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
  });
  return OK;
}

int cmdGet(std::string const& table, std::string const& keyText) {
  int rc = OK;
  forTable(table, [&]<class Ops>() {
    std::string error;
    auto key = parseKey<Ops>(keyText, error);
    if (!key) fail(USAGE, fmt::format("bad key \"{}\": {}", keyText, error));
    auto r = attach<Ops>(table);
    bool found = false;
    typename Ops::Value v;
    try {
      r->lookup(*key, found, &v);
    } catch (Quiv::CorruptionDetectedException const& e) {
      fail(NOT_FOUND, fmt::format("{}: corrupt table: {}", table, e.msg()));
    }
    if (!found) {
      std::fprintf(stderr, "zolm: %s: %s: not found\n", table.c_str(), textOf(*key).c_str());
      rc = NOT_FOUND;
      return;
    }
    fmt::print("{}\n", textOf(v));
  });
  return rc;
}

int cmdValidate(std::string const& table) {
  int rc = OK;
  forTable(table, [&]<class Ops>() {
    auto r = attach<Ops>(table);
    if (r->validate()) {
      fmt::print("ok: {} entries\n", r->members());
    } else {
      std::fprintf(stderr, "zolm: %s: not sound: %s\n", table.c_str(), r->lastError().c_str());
      rc = NOT_FOUND;
    }
  });
  return rc;
}

volatile sig_atomic_t interrupted = 0;

// The last text printed of each key, so that a change is printed only when
// the entry's text form changed (a rewrite of the same value, or a key
// added and gone again between two looks, prints nothing).
class ChangePrinter {
 public:
  explicit ChangePrinter(long count) : count_(count) {}
  void known(std::string key, std::string value) { known_.insert_or_assign(std::move(key), std::move(value)); }
  std::size_t size() const { return known_.size(); }
  std::map<std::string, std::string> const& entries() const { return known_; }

  void present(std::string const& key, std::string value) {
    auto it = known_.find(key);
    if (it == known_.end()) {
      print('+', value);
      known_.emplace(key, std::move(value));
    } else if (it->second != value) {
      print('~', value);
      it->second = std::move(value);
    }
  }
  void absent(std::string const& key) {
    if (known_.erase(key)) print('-', key);
  }
  bool done() const { return count_ > 0 && printed_ >= count_; }

 private:
  void print(char what, std::string const& text) {
    if (done()) return;
    fmt::print("{} {}\n", what, text);
    std::fflush(stdout);
    ++printed_;
  }
  std::map<std::string, std::string> known_;  // key text -> value text
  long count_;
  long printed_ = 0;
};

// Looks at the whole table every `intervalMs` and prints the differences:
// for tables without a notification queue, or when the shadow cannot
// follow the table.
template <class Ops>
void watchByPolling(std::string const& table, int intervalMs, long count) {
  auto r = attach<Ops>(table);
  auto snapshot = [&] {
    std::map<std::string, std::string> now;
    walk(*r, table, [&](typename Ops::Value const& v, U32) { now.emplace(textOf(Ops::keyOf(v)), textOf(v)); });
    return now;
  };
  ChangePrinter out(count);
  for (auto& [k, v] : snapshot()) out.known(k, v);
  fmt::print("watching {} ({} entries)\n", table, out.size());
  std::fflush(stdout);
  while (!interrupted && !out.done()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(intervalMs));
    std::map<std::string, std::string> now;
    try {
      if (!r->validateFiles()) {
        fmt::print(stderr, "{}: writer changed, attaching again\n", table);
        r = attach<Ops>(table);
      }
      now = snapshot();
    } catch (Quiv::CorruptionDetectedException const&) {
      r = attach<Ops>(table);
      continue;
    }
    for (auto& [k, v] : now) out.present(k, v);
    std::vector<std::string> gone;
    for (auto const& [k, v] : out.entries())
      if (!now.count(k)) gone.push_back(k);
    for (auto const& k : gone) out.absent(k);
  }
}

// Follows the table through a key shadow: the writer wakes it when records
// arrive in the notification queue, and each changed key is looked up in
// the shadow (the value comes from shared memory). Between changes the tool
// sleeps in its event loop. False, before anything is printed, when the
// shadow cannot attach; the caller then polls.
template <class Ops>
bool watchByShadow(std::string const& table, long count, std::string& why) {
  using Key = typename Ops::Key;
  using Value = typename Ops::Value;
  checkBeforeAttach<Ops>(table);
  Quiv::EventLoop loop;
  ChangePrinter out(count);
  bool synced = false;
  std::unique_ptr<Zolm::ZolmShadow<Ops>> shadow;
  Zolm::ShadowCallbacks<Key> cb;
  // The first synchronisation is the starting point, listed below once it
  // is complete; what it finds is not a change.
  cb.syncChanged = [](Key const&) {};
  cb.syncComplete = [&] { synced = true; };
  cb.changed = [&](Key const& k) {
    if (!synced) return;
    Value v;
    if (shadow->lookup(k, v)) out.present(textOf(k), textOf(v));
    else out.absent(textOf(k));
    if (out.done()) loop.stop();
  };
  shadow = std::make_unique<Zolm::ZolmShadow<Ops>>(nullptr, table, loop, true, std::move(cb));
  bool ok = false;
  try {
    ok = shadow->initialize("zolm watch");
  } catch (Quiv::Exception const& e) {
    why = e.msg();
    return false;
  }
  if (!ok) {
    std::string_view error = shadow->lastError().empty() ? shadow->reader().lastError() : shadow->lastError();
    why = error.empty() ? std::string("cannot attach to the notification queue") : std::string(error);
    return false;
  }
  // The synchronisation reads every slot; it goes on from the loop after
  // each slice.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!synced && !interrupted) {
    loop.runOnce(50);
    if (std::chrono::steady_clock::now() > deadline) {
      why = "the first synchronisation did not complete within 30 s";
      return false;
    }
  }
  if (interrupted) {
    shadow->callbacksIs({});
    return true;
  }
  Value v;
  Zolm::IterHint hint;
  for (bool more = shadow->first(v, hint); more; more = shadow->next(Ops::keyOf(v), v, hint))
    out.known(textOf(Ops::keyOf(v)), textOf(v));
  fmt::print("watching {} ({} entries)\n", table, out.size());
  std::fflush(stdout);
  // A periodic look at the connection, only to tell the user: the shadow
  // re-attaches by itself when a new writer appears, and its new
  // synchronisation reports what changed meanwhile.
  bool connected = shadow->connected();
  if (!connected) fmt::print(stderr, "{}: no writer is running; waiting for one\n", table);
  loop.timerIs(
      std::chrono::milliseconds(250),
      [&] {
        if (interrupted) loop.stop();
        bool now = shadow->connected();
        if (now != connected)
          fmt::print(stderr, "{}\n", now ? fmt::format("{}: writer back, synchronising again", table)
                                         : fmt::format("{}: writer went away; waiting for the next one", table));
        connected = now;
      },
      std::chrono::milliseconds(250));
  while (!interrupted && !out.done() && !loop.stopped()) loop.runOnce(-1);
  // Detaching replays every local key as a change: none of them is one.
  shadow->callbacksIs({});
  return true;
}

int cmdWatch(std::string const& table, int intervalMs, long count) {
  ::signal(SIGINT, [](int) { interrupted = 1; });
  ::signal(SIGTERM, [](int) { interrupted = 1; });
  forTable(table, [&]<class Ops>() {
    std::string why;
    if constexpr ((Ops::headerFlags & Zolm::SlotHeaderCommon::FLAG_NOTIFY) == 0) {
      why = "the table has no notification queue";
    } else {
      if (watchByShadow<Ops>(table, count, why)) return;
    }
    fmt::print(stderr, "{}: {}; looking every {} ms instead\n", table, why, intervalMs);
    watchByPolling<Ops>(table, intervalMs, count);
  });
  return OK;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"zolm: look inside shared-memory tables (read-only)"};
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
  auto* validate = app.add_subcommand("validate", "check the whole table; exit 0 only when sound");
  validate->add_option("TABLE", table, "table path")->required();
  addRoot(validate);
  auto* watch = app.add_subcommand("watch", "print changes as they happen (+ new, ~ changed, - removed)");
  watch->add_option("TABLE", table, "table path")->required();
  watch->add_option("--interval", interval, "milliseconds between looks when polling (only tables without a notification queue are polled)")->check(CLI::Range(1, 60000));
  watch->add_option("--count", count, "stop after this many changes (0: until interrupted)");
  addRoot(watch);

  try {
    app.parse(argc, argv);
  } catch (CLI::ParseError const& e) {
    int rc = app.exit(e);
    return rc == 0 ? OK : USAGE;
  }
  try {
    if (!root.empty()) Mem::RootPath::shmRootIs(root);
    if (*ls) return cmdLs();
    if (*show) return cmdShow(table);
    if (*dump) return cmdDump(table, json);
    if (*get) return cmdGet(table, key);
    if (*validate) return cmdValidate(table);
    if (*watch) return cmdWatch(table, interval, count);
  } catch (Failure const& f) {
    std::fprintf(stderr, "zolm: %s\n", f.msg.c_str());
    return f.code;
  } catch (Quiv::CorruptionDetectedException const& e) {
    std::fprintf(stderr, "zolm: %s: corrupt table: %s\n", table.c_str(), e.msg().c_str());
    return NOT_FOUND;
  } catch (std::exception const& e) {
    std::fprintf(stderr, "zolm: %s\n", e.what());
    return NO_TABLE;
  }
  return USAGE;
}
