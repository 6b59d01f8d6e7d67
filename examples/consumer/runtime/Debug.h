#pragma once
// The consumer's own header under a name the library also uses
// (runtime/Debug.h): the library's headers must never pick this one up,
// and the consumer must get it when it asks.
#define CONSUMER_OWN_DEBUG_H 1
