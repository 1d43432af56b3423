// One turn of the keep-alive loop: open the default output, play the whole tone buffer
// through it once, wait until the device is done with it, close the device.
#pragma once

namespace wakelet {

// Builds the tone on its first call. Without a device it waits one CycleInterval
// instead; with an empty tone it clears Running. Raises failures of the run, after
// closing the device.
void PlayCycle();

// Whether the next open offers WaveFormat in its extensible description first: false until
// a driver has refused the plain one and taken the extensible one.
extern bool OfferExtensibleFirst;

}  // namespace wakelet
