// A generic client: a table collection reached by its type name alone, with
// no table header. It creates the collection, sets entries from their text
// forms, reads one back by a key parsed from text, iterates the table,
// reads an attribute of each entry and removes one, all through the
// registry's type-erased operations.
//
//   vexa-generic-example [COLLECTION TYPE] [ENTRY TEXT...]
//
// Without arguments: three entries of "VexaSwitch::LagGroupIdTable".
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "VexaSwitchLib/runtime/Reflection.h"

namespace {

// A value of a type known only by its registry entry: raw storage of its
// size, constructed and destroyed through the type's own methods.
class AnyValue {
 public:
  explicit AnyValue(Kel::Type t) : type_(t), bytes_(new std::max_align_t[t.size() / sizeof(std::max_align_t) + 1]) {
    type_.methods()->genericIfConstruct(bytes_.get(), nullptr);
  }
  ~AnyValue() { type_.methods()->genericIfDestruct(bytes_.get()); }
  AnyValue(AnyValue const&) = delete;
  AnyValue& operator=(AnyValue const&) = delete;
  void* get() { return bytes_.get(); }
  void parse(std::string const& text) {
    type_.methods()->genericIfStrepToValue(bytes_.get(), Quiv::String(text), type_, 0);
  }
  std::string text() const {
    Quiv::String s = type_.methods()->genericIfStrRep(bytes_.get(), type_, 0);
    return std::string(s.view());
  }

 private:
  Kel::Type type_;
  std::unique_ptr<std::max_align_t[]> bytes_;
};

}  // namespace

int main(int argc, char** argv) try {
  std::string typeName = argc > 1 ? argv[1] : "VexaSwitch::LagGroupIdTable";
  std::vector<std::string> texts(argv + std::min(argc, 2), argv + argc);
  if (argc <= 2)
    for (int n : {5, 9, 12})
      texts.push_back(fmt::format("Value('VexaSwitch::LagGroupIdEntry', ** {{'key': {0}, 'lagIntf': Port-Channel{0}}})", n));

  Kel::Type table = Kel::findType(typeName);
  if (!table || table.kind() != Kel::TypeKind::collection) {
    fmt::print(stderr, "{}: not a registered table collection\n", typeName);
    return 1;
  }
  Kel::TypeOps const& ops = *table.ops();
  Kel::Attr entry = table.attributeById(258);  // the collection attribute
  Kel::Type value = Kel::findType(entry.typeName());
  Kel::Attr keyAttr = value.keyAttr();
  Kel::Type key = Kel::findType(keyAttr.typeName());
  fmt::print("{}: entries of {} keyed by {}\n", table.name(), value.name(), key.name());

  // Created by name, as its factory would.
  Kel::Ptr<Kel::Entity> coll = ops.newEntityForDir("generic", nullptr, table);
  for (std::string const& t : texts) {
    AnyValue v(value);
    v.parse(t);
    ops.genericIfAttributeOp(nullptr, coll.ptr(), &entry, Kel::SET, nullptr, v.get());
  }
  U32 count = 0;
  ops.genericIfAttributeOp(&count, coll.ptr(), &entry, Kel::COUNT, nullptr, nullptr);
  fmt::print("{} entries\n", count);

  // One entry by a key given as text; the key of the first entry written.
  AnyValue first(value), k(key), got(value);
  first.parse(texts.front());
  value.ops()->genericIfAttributeOp(k.get(), first.get(), &keyAttr, Kel::GET, nullptr, nullptr);
  AnyValue parsedKey(key);
  parsedKey.parse(k.text());
  ops.genericIfAttributeOp(got.get(), coll.ptr(), &entry, Kel::GET, parsedKey.get(), nullptr);
  fmt::print("get {}: {}\n", parsedKey.text(), got.text());

  // Every entry in the table's order, and each one's key attribute.
  Kel::IterOps const* it = nullptr;
  void* i = ops.genericIfIterator(coll.ptr(), nullptr, entry, &it);
  for (; it->iterNonnull(entry, i); it->iterInc(entry, i)) {
    AnyValue e(value), ek(key);
    it->iterObj(entry, i, e.get());
    value.ops()->genericIfAttributeOp(ek.get(), e.get(), &keyAttr, Kel::GET, nullptr, nullptr);
    fmt::print("  {} = {}\n", ek.text(), e.text());
  }
  it->iterDel(entry, i);

  AnyValue removed(value);
  ops.genericIfAttributeOp(removed.get(), coll.ptr(), &entry, Kel::DEL, parsedKey.get(), nullptr);
  bool still = true;
  ops.genericIfAttributeOp(&still, coll.ptr(), &entry, Kel::CONTAINS, parsedKey.get(), nullptr);
  ops.genericIfAttributeOp(&count, coll.ptr(), &entry, Kel::COUNT, nullptr, nullptr);
  fmt::print("removed {}; {} entries left\n", removed.text(), count);
  if (still || count + 1 != texts.size()) {
    fmt::print(stderr, "example: FAILED\n");
    return 1;
  }
  fmt::print("example: ok\n");
  return 0;
} catch (std::exception const& e) {
  fmt::print(stderr, "error: {}\n", e.what());
  return 1;
}
