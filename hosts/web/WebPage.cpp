#include "WebPage.h"

#include "SettingsPanel.h"

namespace cvl::web {

namespace {

// The badge of each state has a colour of its own (also in the script below).
const char* StateColour(ViewState state) {
    switch (state) {
    case ViewState::Live:
        return "#1f9d55";
    case ViewState::CameraBusy:
        return "#d98e04";
    case ViewState::NoCamera:
        return "#c0392b";
    case ViewState::ServiceNotRunning:
        return "#7c3aed";
    case ViewState::Waiting:
        break;
    }
    return "#6b7280";
}

const char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>Corvalink live view</title>
<style>
body { margin: 0; background: #15171c; color: #e8e8e8; font: 16px sans-serif; }
header { display: flex; align-items: center; gap: 16px; padding: 10px 16px; }
h1 { font-size: 20px; margin: 0; font-weight: 600; }
#state { padding: 4px 14px; border-radius: 4px; color: #fff; font-weight: 600; }
#figures { color: #b8bcc6; }
main { padding: 0 16px 16px; }
#picture { display: block; max-width: 100%; height: auto; background: #000; }
</style>
</head>
<body>
<header>
<h1>Corvalink</h1>
)";

const char kTail[] = R"(<span id="figures">- frames/s &middot; latency - &middot; - viewers</span>
</header>
<main><img id="picture" src="/stream.mjpeg" alt="live view of the camera"></main>
<script>
"use strict";
const colours = { "live": "#1f9d55", "camera busy": "#d98e04", "no camera": "#c0392b",
                  "service not running": "#7c3aed", "waiting": "#6b7280" };
const badge = document.getElementById("state");
const figures = document.getElementById("figures");
const picture = document.getElementById("picture");
function show(state, text) {
  badge.textContent = state;
  badge.style.background = colours[state] || "#444";
  figures.textContent = text;
}
async function refresh() {
  try {
    const reply = await fetch("/stats.json", { cache: "no-store" });
    const s = await reply.json();
    const latency = s.latency_ms ? s.latency_ms.p50.toFixed(1) + " ms" : "-";
    show(s.state, s.fps.toFixed(0) + " frames/s \u00b7 latency " + latency + " \u00b7 " +
         s.viewers + (s.viewers === 1 ? " viewer" : " viewers"));
  } catch (e) {
    show("viewer stopped", "cvl-web does not answer");
  }
}
// A stream that ended (cvl-web restarted) is opened again.
picture.addEventListener("error", () => {
  setTimeout(() => { picture.src = "/stream.mjpeg?" + Date.now(); }, 1000);
});
refresh();
setInterval(refresh, 500);
</script>
)";

const char kEnd[] = "</body>\n</html>\n";

} // namespace

std::string WebPage(ViewState state) {
    return std::string(kHead) + "<span id=\"state\" style=\"background: " + StateColour(state) +
           "\">" + StateText(state) + "</span>\n" + kTail + SettingsPanel() + kEnd;
}

} // namespace cvl::web
