// Live view that the camera ended by itself, started again within the same
// SDK session. Bodies end live view after a time limit of their own or when
// they grow warm; a host that pulls previews then gets an answer the driver
// does not know, not a broken connection. The helper starts live view again
// and takes the preview once more before it calls the camera lost.
#ifndef ZELSDK_GPHOTO2_LIVEVIEWRESTART_H
#define ZELSDK_GPHOTO2_LIVEVIEWRESTART_H

#include <gphoto2/gphoto2-camera.h>
#include <gphoto2/gphoto2-context.h>

namespace zelgp {

// A preview failed with this code: the camera answered, but not with a
// frame, so live view may have ended (every other failure is a busy camera
// or a broken connection, which a restart does not mend).
bool LiveViewMayHaveEnded(int gpResult);

// Starts live view again: with the driver's live-view switch where the body
// has one (off, then on), otherwise with a new PTP session on the same
// connection settings, which starts remote live view on bodies without a
// switch. The Camera stays the same object. Returns libgphoto2's result.
int RestartLiveView(Camera* camera, GPContext* context);

// Sets the toggle setting name of the camera to on.
int SetToggle(Camera* camera, const char* name, bool on, GPContext* context);

// libgphoto2's PTP/IP disconnect closes descriptor 0 whether or not it
// opened it. Standard input, output and error are put back on /dev/null,
// so that none of libgphoto2's own sockets lands on a number it will close
// again later.
void RepairStandardDescriptors();

} // namespace zelgp

#endif
