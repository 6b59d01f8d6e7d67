#pragma once
// The engine forms of every table, reached by the name of the table's value
// type, for generic clients (zolm) that are compiled against no table.
//
// The forms stay instantiated once per key/value pair in the collection
// units; TableAccess.cpp wraps the reader and the key shadow of each pair
// behind the interfaces below, once. Keys and values cross them as pointers
// to objects of the table's key and value types, which a client makes and
// reads through the registered types (runtime/Reflection.h): the value type
// by the name in the slot header, the key type by the type of the value's
// key attribute.
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/runtime/EventLoop.h"

namespace VexaSwitch {

// A lock-free reader of one table (Zolm::ZolmReader).
class TableReader {
 public:
  virtual ~TableReader() = default;
  virtual bool initialize(std::string_view event) = 0;
  virtual Quiv::String const& lastError() const = 0;
  virtual bool first(void* value, Zolm::IterHint& hint) = 0;
  virtual bool next(void const* key, void* value, Zolm::IterHint& hint) = 0;
  virtual bool lookup(void const* key, void* value) = 0;
  virtual bool validateWalk(U32& count) = 0;
  virtual bool validateFiles() = 0;
  virtual std::string dumpHeaders() const = 0;
  virtual SharedMem::FenixId fenixId() const = 0;
  virtual U32 members() const = 0;
  virtual U32 capacity() const = 0;
  virtual U32 buckets() const = 0;
  virtual U32 maxSize() const = 0;
  virtual Mem::RootPath const& rootPath() const = 0;
  virtual Zolm::SlotHeaderCommon header() const = 0;
};

// What a key shadow tells its client, with the key as a pointer to a key.
struct TableShadowEvents {
  std::function<void(void const* key)> changed;
  std::function<void(void const* key)> syncChanged;
  std::function<void()> syncComplete;
};

// A key shadow of one table (Zolm::ZolmShadow): follows the queue, reads
// values from shared memory.
class TableShadow {
 public:
  virtual ~TableShadow() = default;
  virtual bool initialize(std::string_view event) = 0;
  virtual Quiv::String const& lastError() const = 0;
  virtual Quiv::String const& readerLastError() const = 0;
  virtual U32 members() const = 0;
  virtual U32 readerMembers() const = 0;
  virtual bool first(void* value, Zolm::IterHint& hint) = 0;
  virtual bool next(void const* key, void* value, Zolm::IterHint& hint) = 0;
  virtual bool lookup(void const* key, void* value) = 0;
  virtual bool connected() const = 0;
  virtual bool initialized() const = 0;
  // Drops the client's events (a detach replays every key as a change).
  virtual void silence() = 0;
};

// One key/value pair's forms and file geometry.
struct TableKind {
  std::string_view valueType;
  std::string_view keyType;  // the engine's key type, as the registry names it
  U32 slotSize;
  U32 valueSize;
  U16 headerFlags;
  bool dynamic;
  std::unique_ptr<TableReader> (*reader)(std::string const& tablePath);
  std::unique_ptr<TableShadow> (*keyShadow)(std::string const& tablePath, Quiv::EventLoop& loop,
                                            TableShadowEvents events);
};

// The pair whose value type is named so; null when no table holds it.
TableKind const* tableKind(std::string_view valueTypeName);
std::span<TableKind const> tableKinds();

}  // namespace VexaSwitch
