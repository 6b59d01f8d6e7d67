// An agent's use of a table collection, from creation to unmount: a writer
// agent (this process) owns the L2 MAC table vexaswitch/tables/l2/mac and
// writes it; a follower agent (a child process) mounts the same table as a
// shadow and is told, through an observer, every key that changed.
//
// Each agent:
//   1. runs an event loop and a mounter on it (the mount machinery);
//   2. creates a directory entity and places its collection under it (the
//      collection gets a parent and a full name, "writer/mac");
//   3. mounts the collection's control with a descriptor (type, size) and
//      a table name built with TableId;
//   4. writes (the writer) or observes (the shadow), pumping the loop: a
//      shadow's notifications arrive from its loop;
//   5. unmounts; the writer removes the table's files as it goes.
#include <VexaSwitchLib.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include <fmt/format.h>

namespace {

using Key = Bridging::MacVlanPair;
using Entry = VexaSwitch::L2LogicalEntry;

Key macKey(U64 n) { return Key(Bridging::EthAddr::fromU48(0x021c73000000ull + n), Bridging::VlanId(10)); }
Entry macEntry(U64 n, U64 port) {
  Entry e(macKey(n));
  e.intfIs(Lanx::IntfId::fromRaw(port));
  e.entryTypeIs(Bridging::EntryType::learnedDynamicMac);
  return e;
}

std::string const TABLE = std::string(VexaSwitch::TableId("l2", "mac").tableName().view());

// Told the key of every entry that changed (attribute 258); the value is
// looked up in the collection, which already holds it. Keeps what it was
// told: port by MAC.
struct MacObserver : Kel::Notifiee {
  explicit MacObserver(Kel::Ptr<VexaSwitch::L2TableConfig> c) : mac(std::move(c)) { mac->notifieeList().newMember(this); }
  ~MacObserver() override { mac->notifieeList().deleteMember(this); }
  void onAttr(U32 attrId, std::any const& key) override {
    if (attrId != KelZolm::ATTR_COLLECTION) return;
    auto const& k = std::any_cast<Key const&>(key);
    Entry e;
    if (mac->entryFind(k, e)) {
      fmt::print("shadow: {} on port {}\n", valueToStrep(k), e.intf().raw());
      ports[k.mac().toU48()] = e.intf().raw();
    } else {
      fmt::print("shadow: {} removed\n", valueToStrep(k));
      ports.erase(k.mac().toU48());
    }
    ++told;
  }
  Kel::Ptr<VexaSwitch::L2TableConfig> mac;
  std::map<U64, U64> ports;
  int told = 0;
};

// The shadow agent: ends when its copy is the writer's final table.
int shadowAgent(int doneFd) {
  Quiv::EventLoop loop;
  KelSharedMem::Mounter mounter(loop);
  auto agent = Kel::makePtr<Kel::Directory>("follower");
  auto mac = VexaSwitch::l2TableConfigFactory("mac");
  agent->entityIs(mac);
  MacObserver observer(mac);
  Zolm::MapDescriptor d;
  d.size = 1024;
  d.type = Zolm::ZolmType::shadow;
  // Mounting before the writer exists is fine: the shadow attaches when
  // the writer has made the table.
  mounter.mount(mac->entryControl(), d, TABLE);

  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  // Notifications come from the loop, after the shadow's copy has
  // changed: done when both the copy and what the observer was told are
  // the writer's final table.
  std::map<U64, U64> const want{{macKey(1).mac().toU48(), 7}, {macKey(3).mac().toU48(), 5}};
  auto final = [&] {
    return mac->entries() == 2 && mac->entry(macKey(1)) == macEntry(1, 7) && mac->entry(macKey(3)) == macEntry(3, 5) &&
           observer.ports == want;
  };
  while (!final() && std::chrono::steady_clock::now() < until) loop.runOnce(50);
  bool ok = final();
  fmt::print("shadow: {} entries after {} notifications, full name {}\n", mac->entries(), observer.told,
             mac->fullName());
  mac->notifieeList().deleteMember(&observer);  // unmounting is no change of the table
  mounter.unmount(mac->entryControl());
  char c = ok ? 'y' : 'n';
  return ::write(doneFd, &c, 1) == 1 && ok ? 0 : 1;
}

}  // namespace

int main() {
  // A private root, so that the example never meets another program's
  // table; programs usually keep the default (/dev/shm/vexa or
  // $VEXA_SHM_ROOT).
  char root[] = "/dev/shm/vexa_example.XXXXXX";
  if (!::mkdtemp(root)) return fmt::print(stderr, "example: no directory under /dev/shm\n"), 1;
  Mem::RootPath::shmRootIs(root);
  int done[2];
  if (::pipe(done) != 0) return 1;

  pid_t follower = ::fork();
  if (follower == 0) {
    int rc = shadowAgent(done[1]);
    std::fflush(stdout);  // _exit flushes nothing
    ::_exit(rc);
  }

  bool ok = false;
  {
    // The writer agent.
    Quiv::EventLoop loop;
    KelSharedMem::Mounter mounter(loop);
    auto agent = Kel::makePtr<Kel::Directory>("writer");
    auto mac = VexaSwitch::l2TableConfigFactory("mac");
    agent->entityIs(mac);  // placed: "writer/mac"
    Zolm::MapDescriptor d;
    d.size = 1024;
    d.type = Zolm::ZolmType::writer;
    mounter.mount(mac->entryControl(), d, TABLE);  // from here on, in shared memory

    mac->entryIs(macEntry(1, 3));
    mac->entryIs(macEntry(2, 4));
    mac->entryIs(macEntry(3, 5));
    mac->entryIs(macEntry(1, 7));  // moved to another port
    mac->entryDel(macKey(2));
    fmt::print("writer: {} entries in {} ({})\n", mac->entries(), TABLE, mac->fullName());
    std::fflush(stdout);

    // The loop also answers the shadow's wake-ups; the pipe says when the
    // shadow is done.
    char answer = 0;
    loop.fdIs(done[0], [&] {
      if (::read(done[0], &answer, 1) != 1) answer = 'n';
      loop.stop();
    });
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!loop.stopped() && std::chrono::steady_clock::now() < until) loop.runOnce(50);
    ok = answer == 'y';
    mounter.unmount(mac->entryControl(), true);  // true: the writer removes the table's files
  }
  int status = 0;
  ::waitpid(follower, &status, 0);
  ok = ok && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  fmt::print("example: {}\n", ok ? "ok" : "FAILED");
  return ok ? 0 : 1;
}
