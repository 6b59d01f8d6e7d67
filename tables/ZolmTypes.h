#pragma once
// TableId: the structured name of a chip table,
//   vexaswitch/tables/<feature>/<table>[-dev<N>[-pipe<M>]]
// The device part is written only for a device (devId != 64); the pipeline
// part only after a device part.
#include <string_view>

#include "VexaSwitchLib/runtime/Oka.h"
#include "VexaSwitchLib/runtime/ValueType.h"

namespace VexaSwitch {

class TableId : public Kel::Record<TableId> {
 public:
  static constexpr std::string_view kelTypeName = "VexaSwitch::TableId";
  static constexpr auto kelFields() {
    return std::make_tuple(KEL_FIELD(feature), KEL_FIELD(table), KEL_FIELD(devId), KEL_FIELD(pipeId));
  }
  static constexpr std::string_view basePathName = "vexaswitch/tables";
  static constexpr U8 noPipe = 255;
  static constexpr auto kelFunctions() {
    return std::make_tuple(Kel::function("tableName"), Kel::function("fromTableName", "tableName"));
  }
  static constexpr auto kelConstants() { return std::make_tuple(Kel::constant("basePathName", basePathName)); }

  TableId() = default;
  TableId(Quiv::String feature, Quiv::String table) : feature_(std::move(feature)), table_(std::move(table)) {}
  explicit TableId(Kel::CharRange& r) { Kel::parseRecord(*this, r); }

  Quiv::String const& feature() const { return feature_; }
  Quiv::String const& table() const { return table_; }
  KEL_ATTR(Oka::Central::DeviceId, devId)
  KEL_ATTR(U8, pipeId)

  // The text form. Both feature and table must be non-empty (asserted).
  Quiv::String tableName() const;
  // Parses a text form. A name that is not of the form above yields the
  // default TableId; a device number above 64 raises Kel::RangeException.
  static TableId fromTableName(Quiv::String const& tableName);

 private:
  Quiv::String feature_;
  Quiv::String table_;
  Oka::Central::DeviceId devId_;
  U8 pipeId_ = noPipe;
};

KEL_VALUE_FUNCTIONS();

}  // namespace VexaSwitch
