#include "VexaSwitchLib/tables/TableAccess.h"

#include <vector>

#include "VexaSwitchLib/runtime/TypeImpl.h"
#include "VexaSwitchLib/tables/Collections.h"

namespace VexaSwitch {
namespace {

template <class Ops>
using Key = typename Ops::Key;
template <class Ops>
using Value = typename Ops::Value;

template <class Ops>
class Reader final : public TableReader {
 public:
  explicit Reader(std::string const& table) : r_(nullptr, table) {}
  bool initialize(std::string_view event) override { return r_.initialize(event); }
  Quiv::String const& lastError() const override { return r_.lastError(); }
  bool first(void* value, Zolm::IterHint& hint) override { return r_.first(*static_cast<Value<Ops>*>(value), hint); }
  bool next(void const* key, void* value, Zolm::IterHint& hint) override {
    return r_.next(*static_cast<Key<Ops> const*>(key), *static_cast<Value<Ops>*>(value), hint);
  }
  bool lookup(void const* key, void* value) override {
    bool found = false;
    r_.lookup(*static_cast<Key<Ops> const*>(key), found, static_cast<Value<Ops>*>(value));
    return found;
  }
  bool validateWalk(U32& count) override { return r_.validateWalk(count); }
  bool validateFiles() override { return r_.validateFiles(); }
  std::string dumpHeaders() const override { return r_.dumpHeaders(); }
  SharedMem::FenixId fenixId() const override { return r_.fenixId(); }
  U32 members() const override { return r_.members(); }
  U32 capacity() const override { return r_.capacity(); }
  U32 buckets() const override { return r_.buckets(); }
  U32 maxSize() const override { return r_.maxSize(); }
  Mem::RootPath const& rootPath() const override { return r_.rootPath(); }
  Zolm::SlotHeaderCommon header() const override { return r_.header(); }

 private:
  Zolm::ZolmReader<Ops> r_;
};

template <class Ops>
class Shadow final : public TableShadow {
 public:
  Shadow(std::string const& table, Quiv::EventLoop& loop, TableShadowEvents events)
      : s_(nullptr, table, loop, true, callbacks(std::move(events))) {}
  bool initialize(std::string_view event) override { return s_.initialize(event); }
  Quiv::String const& lastError() const override { return s_.lastError(); }
  Quiv::String const& readerLastError() const override { return s_.reader().lastError(); }
  U32 members() const override { return s_.members(); }
  U32 readerMembers() const override { return s_.reader().members(); }
  bool first(void* value, Zolm::IterHint& hint) override { return s_.first(*static_cast<Value<Ops>*>(value), hint); }
  bool next(void const* key, void* value, Zolm::IterHint& hint) override {
    return s_.next(*static_cast<Key<Ops> const*>(key), *static_cast<Value<Ops>*>(value), hint);
  }
  bool lookup(void const* key, void* value) override {
    Zolm::IterHint hint;
    return s_.lookup(*static_cast<Key<Ops> const*>(key), *static_cast<Value<Ops>*>(value), hint);
  }
  bool connected() const override { return s_.connected(); }
  bool initialized() const override { return s_.initialized(); }
  void silence() override { s_.callbacksIs({}); }

 private:
  static Zolm::ShadowCallbacks<Key<Ops>> callbacks(TableShadowEvents e) {
    Zolm::ShadowCallbacks<Key<Ops>> cb;
    if (e.changed) cb.changed = [f = e.changed](Key<Ops> const& k) { f(&k); };
    if (e.syncChanged) cb.syncChanged = [f = e.syncChanged](Key<Ops> const& k) { f(&k); };
    cb.syncComplete = std::move(e.syncComplete);
    return cb;
  }
  mutable Zolm::ZolmShadow<Ops> s_;
};

template <class Ops>
TableKind kindOf() {
  return TableKind{
      Ops::typeName(),
      Kel::TypeNameOf<Key<Ops>>::value,
      Ops::slotSize,
      Ops::valueSize,
      Ops::headerFlags,
      Ops::dynamic,
      [](std::string const& table) -> std::unique_ptr<TableReader> { return std::make_unique<Reader<Ops>>(table); },
      [](std::string const& table, Quiv::EventLoop& loop, TableShadowEvents events) -> std::unique_ptr<TableShadow> {
        return std::make_unique<Shadow<Ops>>(table, loop, std::move(events));
      },
  };
}

std::vector<TableKind> const& kinds() {
  static std::vector<TableKind> const k = [] {
    std::vector<TableKind> v;
    AllTableOps::any([&]<class Ops>() {
      v.push_back(kindOf<Ops>());
      return false;
    });
    return v;
  }();
  return k;
}

}  // namespace

TableKind const* tableKind(std::string_view valueTypeName) {
  for (TableKind const& k : kinds())
    if (k.valueType == valueTypeName) return &k;
  return nullptr;
}

std::span<TableKind const> tableKinds() { return kinds(); }

}  // namespace VexaSwitch
