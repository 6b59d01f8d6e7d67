#pragma once
// What the mount machinery holds of a collection: its control. A control
// carries the table's mount status and quiesced state for observers, and
// reaches the collection's engine map through the map's control base (the
// interface the map implements to be mounted and let go).
//
// A control may also hold its collection (entityRefIs): a collection whose
// last reference goes while a mounter still holds its control hands itself
// to the control, so that a mounted table stays alive and working until
// the mounter lets the control go.
//
// Mounter is the least mount machinery a program needs: it mounts a
// control's map with a descriptor under a table name, driven by the
// program's event loop, holds the control while mounted, and unmounts.
//
//     Quiv::EventLoop loop;
//     KelSharedMem::Mounter mounter(loop);
//     auto agent = Kel::makePtr<Kel::Directory>("agent");
//     auto mac = VexaSwitch::l2TableConfigFactory("mac");
//     agent->entityIs(mac);
//     Zolm::MapDescriptor d;  d.size = 1024;  d.type = Zolm::ZolmType::writer;
//     mounter.mount(mac->entryControl(), d, "vexaswitch/tables/l2/mac");
//     mac->entryIs(entry);          // now in shared memory
//     mounter.unmount(mac->entryControl());
//
// Thread: the loop's (the collection's owner).
#include <string>
#include <string_view>
#include <vector>

#include "VexaSwitchLib/runtime/Entity.h"
#include "VexaSwitchLib/runtime/EventLoop.h"
#include "VexaSwitchLib/runtime/Sentry.h"
#include "VexaSwitchLib/runtime/VersionAnchor.h"

namespace KelSharedMem {

// What a control mounts through: implemented by a collection's engine map.
class ControlBase {
 public:
  virtual ~ControlBase() = default;
  // Mounts the table `tableName` with `d`; the map's watchers and shadows
  // run on `loop`. Throws what the map's init throws.
  virtual void controlInit(Mem::CollectionDescriptor const& d, std::string_view tableName, Quiv::EventLoop& loop) = 0;
  // Lets the table go (files stay); with `cleanup` a writer removes them
  // first.
  virtual void controlDetach(bool cleanup) = 0;
  virtual Mem::MountStatus controlMountStatus() const = 0;
  // The mounted table's name; empty before the first mount.
  virtual std::string controlTableName() const = 0;
};

class CollectionControl : public Kel::Entity {
 public:
  // Attribute ids observers are told of.
  static constexpr U32 MOUNT_STATUS = 1;
  static constexpr U32 QUIESCED = 2;

  explicit CollectionControl(ControlBase* base, Quiv::String name = "control");
  ~CollectionControl() override;

  ControlBase* controlBase() const { return base_; }
  // Cleared by a collection that dies before its control.
  void controlBaseIs(ControlBase* base) { base_ = base; }
  bool dying() const { return dying_; }

  Mem::MountStatus mountStatus() const { return mountStatus_; }
  void mountStatusIs(Mem::MountStatus s);
  bool quiesced() const { return quiesced_; }

  // The collection this control keeps alive (set by the collection's
  // zero-references hand-over; null otherwise).
  Kel::Ptr<Kel::Entity> const& entityRef() const { return entityRef_; }
  void entityRefIs(Kel::Ptr<Kel::Entity> e);

 protected:
  void quiescedSet(bool q);

 private:
  ControlBase* base_;
  Mem::MountStatus mountStatus_ = Mem::notMounted;
  bool quiesced_ = false;
  bool dying_ = false;
  Kel::Ptr<Kel::Entity> entityRef_;
};

namespace Util {
// An entity's path in its tree ("agent/l2/mac"), its plain name without a
// parent.
inline Quiv::String fullName(Kel::Entity const& e) { return e.fullName(); }
}  // namespace Util

// Mounts controls and holds them while mounted.
class Mounter {
 public:
  explicit Mounter(Quiv::EventLoop& loop) : loop_(loop) {}
  // Lets every control go (unmounting it; files stay).
  ~Mounter();
  Mounter(Mounter const&) = delete;
  Mounter& operator=(Mounter const&) = delete;

  // Mounts the control's map as `tableName` (a table name such as
  // "vexaswitch/tables/l2/mac", see VexaSwitch::TableId) with `d`. Throws
  // Quiv::InvalidInitializeException for a control without a map, or one
  // mounted already under another name, and what the map's init throws;
  // a refused mount holds nothing.
  void mount(Kel::Ptr<CollectionControl> const& control, Mem::CollectionDescriptor const& d, std::string_view tableName);
  // Unmounts (a writer with `cleanup` removes its files) and lets the
  // control go; false when this mounter did not hold it.
  bool unmount(Kel::Ptr<CollectionControl> const& control, bool cleanup = false);
  std::size_t mounts() const { return held_.size(); }
  bool holds(CollectionControl const* control) const;
  Quiv::EventLoop& loop() const { return loop_; }

 private:
  Quiv::EventLoop& loop_;
  std::vector<Kel::Ptr<CollectionControl>> held_;
};

}  // namespace KelSharedMem
