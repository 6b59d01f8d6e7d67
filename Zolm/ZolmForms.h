#pragma once
// The three forms of a table (writer, reader, shadow) for one key/value
// pair. A unit that owns a pair declares them extern in its header and
// instantiates them once in its source, so that users of the header do not
// compile the engine again.
#include "VexaSwitchLib/Zolm/ZolmReader.h"
#include "VexaSwitchLib/Zolm/ZolmShadow.h"
#include "VexaSwitchLib/Zolm/ZolmWriter.h"

#define VEXA_ZOLM_EXTERN_FORMS(OPS)             \
  extern template class ::Zolm::ZolmWriter<OPS>; \
  extern template class ::Zolm::ZolmReader<OPS>; \
  extern template class ::Zolm::ZolmShadow<OPS>;

#define VEXA_ZOLM_INSTANTIATE_FORMS(OPS) \
  template class ::Zolm::ZolmWriter<OPS>; \
  template class ::Zolm::ZolmReader<OPS>; \
  template class ::Zolm::ZolmShadow<OPS>;
