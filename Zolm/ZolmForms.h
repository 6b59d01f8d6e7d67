#pragma once
// The forms of a table (writer, reader, shadow) and the facade over them
// for one key/value pair. A unit that owns a pair declares them extern in
// its header and instantiates them once in its source, so that users of
// the header do not compile the engine again.
#include "VexaSwitchLib/Zolm/ZolmMap.h"

#define VEXA_ZOLM_EXTERN_FORMS(OPS)                   \
  extern template class ::Zolm::ZolmWriter<OPS>;      \
  extern template class ::Zolm::ZolmReader<OPS>;      \
  extern template class ::Zolm::ZolmShadow<OPS>;      \
  extern template class ::Zolm::ZolmDummy<OPS>;       \
  extern template class ::Zolm::Tmp<OPS>;             \
  extern template class ::Zolm::ZolmStrictDummy<OPS>; \
  extern template class ::Zolm::ZolmMap<OPS>;

#define VEXA_ZOLM_INSTANTIATE_FORMS(OPS)       \
  template class ::Zolm::ZolmWriter<OPS>;      \
  template class ::Zolm::ZolmReader<OPS>;      \
  template class ::Zolm::ZolmShadow<OPS>;      \
  template class ::Zolm::ZolmDummy<OPS>;       \
  template class ::Zolm::Tmp<OPS>;             \
  template class ::Zolm::ZolmStrictDummy<OPS>; \
  template class ::Zolm::ZolmMap<OPS>;
