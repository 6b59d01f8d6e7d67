#include "VexaSwitchLib/tables/VexaSwitchProfileTypes.h"

namespace VexaSwitch {

Kel::Ptr<ProfileInfoDir> ProfileInfoDir::ProfileInfoDirIs(Quiv::String name) {
  return Kel::Ptr<ProfileInfoDir>(new ProfileInfoDir(std::move(name)));
}

}  // namespace VexaSwitch
