// Fuzz target: a slab file's bytes. Whatever the file holds, a reader's
// lookups and a writer's keep, checks and allocations either work on a
// sound slab or end in a Quiv::Exception; never a fault, a hang or an
// overread (ASan), and a slab the writer kept stays sound through its own
// allocations and frees.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "VexaSwitchLib/Bloka/SlabReader.h"
#include "VexaSwitchLib/Bloka/SlabWriter.h"

namespace {

// A private directory (not /dev/shm: a fuzzer may be stopped without
// running its exit handlers), removed at exit. Kept in a plain array: the
// exit handler runs after static strings are gone.
char rootDirName[64];

void makeRootDir() {
  if (rootDirName[0]) return;
  std::snprintf(rootDirName, sizeof rootDirName, "/tmp/vexa_slab_fuzz.XXXXXX");
  if (!::mkdtemp(rootDirName)) std::abort();
  Mem::RootPath::shmRootIs(rootDirName);
  std::atexit([] {
    std::error_code ec;
    std::filesystem::remove_all(rootDirName, ec);
  });
}

constexpr char const* TABLE = "t";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
  if (size > 64 * 1024) return 0;
  makeRootDir();
  Mem::RootPath root(nullptr, TABLE);
  root.createDirectory();
  U32 const slab = size > 0 ? data[0] % 30 : 0;
  std::string const file = Bloka::slabFileName(slab);
  auto sizes = Bloka::SizeClasses::of<Bloka::LinearSizeConfig<88>>();
  U32 const maxPayload = sizes.maxPayloadOf(slab);
  U32 const entrySize = maxPayload + Bloka::ENTRY_HEAD;
  // Inputs whose second byte is odd get a header that passes the checks
  // (the input's bytes from offset 8 are its counts and entries), so that
  // the walks and allocations past the header are reached too.
  std::vector<uint8_t> bytes(data, data + size);
  if (size >= 16 && (data[1] & 1)) {
    Bloka::SlabHeader h{};
    std::memcpy(h.magic, Bloka::MAGIC, 8);
    h.version = Bloka::VERSION;
    h.fenix = 1;
    U32 n = 1 + data[2] % 64;
    h.numEntries = n;
    h.numOccupied = data[3] % (n + 1);
    h.entrySize = entrySize;
    h.checksum = Bloka::entrySizeChecksum(entrySize);
    h.freeList = data[4] == 0xFF ? Bloka::NONE : data[4] % n;
    std::vector<uint8_t> file(Bloka::HEADER_SIZE + U64(n) * entrySize);
    std::memcpy(file.data(), &h, sizeof h);
    for (std::size_t i = Bloka::HEADER_SIZE, k = 8; i < file.size() && k < size; ++i, ++k) file[i] = data[k];
    bytes = std::move(file);
  }
  {
    std::FILE* f = std::fopen(root.filePath(file).c_str(), "wb");
    if (!f) std::abort();
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }
  U32 fenix = 1;
  if (bytes.size() >= 16) std::memcpy(&fenix, bytes.data() + 12, 4);
  if (fenix == 0) fenix = 1;

  Bloka::ReaderAllocator r(nullptr, TABLE, root, sizes);
  for (U32 i = 0; i < 12; ++i) {
    U32 index = i < 8 ? i : U32(size > i ? data[size - i] : i) * 3;
    try {
      U32 n = 0;
      char const* p = r.lookup(Bloka::Offset(slab, index), fenix, n);
      if (n > maxPayload) std::abort();
      volatile char sum = 0;
      for (U32 k = 0; k < n; ++k) sum = char(sum + p[k]);
    } catch (Quiv::Exception const&) {
    }
  }
  r.detach();

  Bloka::WriterAllocator w(nullptr, TABLE, root, false, sizes);
  try {
    if (w.keep(fenix) && w.slab(slab)) {
      Quiv::String error;
      if (!w.validate(error)) std::abort();  // kept means walked and sound
      // Its own allocations and frees keep it sound (grow, shrink, compact).
      std::vector<Bloka::Offset> taken;
      w.movedCallbackIs([&](U32 client, Bloka::Offset to) {
        if (client < taken.size()) taken[client] = to;
      });
      U32 const need = maxPayload > 3 ? maxPayload - 2 : maxPayload;
      for (U32 k = 0; k < 600; ++k) {
        Bloka::Offset off;
        char* e = w.alloc(need, off);
        Bloka::storeWord(e + 4, U32(taken.size()));
        taken.push_back(off);
      }
      for (U32 k = 0; k < taken.size(); ++k)
        if (k % 7) w.dealloc(taken[k]);
      if (!w.validate(error)) std::abort();
    }
  } catch (Quiv::Exception const&) {
  }
  w.detach();
  root.removeFile(file);
  return 0;
}
