// Changes a picture as the camera's settings show it: the magnified part,
// scaled to the live-view size, brightened or darkened and tinted, and
// blurred while out of focus. One pass over the output and a separable blur:
// a few milliseconds for a live-view picture.
#ifndef ZELSDK_SRC_LOOKRENDERER_H
#define ZELSDK_SRC_LOOKRENDERER_H

#include "Controls.h"

#include "imaging/BitmapFont.h"

namespace [[gnu::visibility("hidden")]] zelsdk {

cvl::imaging::Canvas RenderLook(const cvl::imaging::Canvas& picture, const Look& look);

} // namespace gnu::visibility("hidden")]]zelsdk

#endif
