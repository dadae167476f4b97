#include "SettingsPanel.h"

namespace cvl::web {

namespace {

const char kPanel[] = R"(<style>
#settings { padding: 0 16px 16px; display: flex; flex-wrap: wrap; gap: 10px 18px;
            align-items: center; }
#settings label { color: #b8bcc6; }
#settings select, #settings button, #settings input { font: 15px sans-serif; margin-left: 4px; }
#settings button { padding: 3px 9px; }
#settings-message { flex-basis: 100%; margin: 0; color: #f0b429; min-height: 1.2em; }
</style>
<section id="settings" aria-label="camera settings">
<span id="settings-controls"></span>
<span id="focus-controls" hidden>
<button id="autofocus" type="button">Autofocus</button>
<label>Focus</label>
<button id="focus-near-3" type="button" title="nearer, large step">&#9664;&#9664;&#9664;</button>
<button id="focus-near-2" type="button" title="nearer, medium step">&#9664;&#9664;</button>
<button id="focus-near-1" type="button" title="nearer, small step">&#9664;</button>
<button id="focus-far-1" type="button" title="farther, small step">&#9654;</button>
<button id="focus-far-2" type="button" title="farther, medium step">&#9654;&#9654;</button>
<button id="focus-far-3" type="button" title="farther, large step">&#9654;&#9654;&#9654;</button>
</span>
<span id="zoom-controls"></span>
<p id="settings-message" role="status"></p>
</section>
<script>
"use strict";
(() => {
const controls = document.getElementById("settings-controls");
const zoom = document.getElementById("zoom-controls");
const focus = document.getElementById("focus-controls");
const message = document.getElementById("settings-message");
const labels = { "iso": "ISO", "aperture": "Aperture f/", "shutter-speed": "Shutter",
                 "exposure-compensation": "Exposure", "white-balance": "White balance",
                 "live-view-size": "Live view", "zoom-position": "Zoom at" };
let seen = null;
let layout = "";
let busy = 0;

function say(text) { message.textContent = text; }

async function send(path, body) {
  busy++;
  try {
    let reply = await fetch(path, { method: "POST", cache: "no-store",
                                    headers: { "Content-Type": "application/json" },
                                    body: JSON.stringify(body) });
    let answer = await reply.json();
    // Still under way: ask by its ticket until the camera is done.
    for (let i = 0; reply.status === 202 && i < 100; i++) {
      await new Promise(done => setTimeout(done, 200));
      reply = await fetch("/settings/outcomes/" + answer.ticket, { cache: "no-store" });
      answer = await reply.json();
    }
    say(reply.ok ? "" : answer.error || "the change failed");
  } catch (e) {
    say("cvl-web does not answer");
  }
  busy--;
  seen = null; // list again: the menus show what the camera has now
}

function menu(setting) {
  const label = document.createElement("label");
  label.textContent = labels[setting.name] || setting.name;
  let input;
  if (setting.allowed.length) {
    input = document.createElement("select");
    for (const value of setting.allowed)
      input.add(new Option(value, value));
  } else {
    input = document.createElement("input");
    input.size = 8;
  }
  input.id = "setting-" + setting.name;
  input.addEventListener("change", () => send("/settings/" + setting.name,
                                              { value: input.value }));
  label.appendChild(input);
  return label;
}

function show(settings) {
  const names = settings.map(s => s.name + ":" + s.allowed.join(",")).join(" ");
  if (names !== layout) {
    layout = names;
    controls.replaceChildren();
    zoom.replaceChildren();
    for (const setting of settings) {
      if (setting.name !== "zoom") {
        controls.appendChild(menu(setting));
        continue;
      }
      const label = document.createElement("label");
      label.textContent = "Zoom";
      zoom.appendChild(label);
      for (const factor of setting.allowed) {
        const button = document.createElement("button");
        button.type = "button";
        button.id = "zoom-" + factor;
        button.textContent = factor + "\u00d7";
        button.addEventListener("click", () => send("/settings/actions",
                                                    { action: "zoom " + factor }));
        zoom.appendChild(button);
      }
    }
  }
  for (const setting of settings) {
    const input = document.getElementById("setting-" + setting.name);
    if (input && document.activeElement !== input)
      input.value = setting.value;
    for (const button of zoom.querySelectorAll("button"))
      if (setting.name === "zoom")
        button.setAttribute("aria-pressed", button.id === "zoom-" + setting.value);
  }
  focus.hidden = settings.length === 0;
}

async function refresh() {
  if (busy)
    return;
  try {
    const changes = await (await fetch("/settings/changes", { cache: "no-store" })).json();
    if (changes.error) {
      show([]);
      say(changes.error);
      seen = null;
      return;
    }
    if (changes.changes === seen)
      return;
    const reply = await fetch("/settings", { cache: "no-store" });
    const answer = await reply.json();
    if (!reply.ok) {
      show([]);
      say(answer.error);
      seen = null;
      return;
    }
    seen = answer.changes;
    show(answer.settings);
    if (message.textContent.startsWith("no camera") || message.textContent.includes("machine"))
      say("");
  } catch (e) {
    show([]);
    seen = null;
  }
}

document.getElementById("autofocus").addEventListener("click",
    () => send("/settings/actions", { action: "autofocus" }));
for (const direction of ["near", "far"])
  for (const step of [1, 2, 3])
    document.getElementById("focus-" + direction + "-" + step).addEventListener("click",
        () => send("/settings/actions", { action: "focus " + direction + " " + step }));
refresh();
setInterval(refresh, 700);
})();
</script>
)";

} // namespace

const char* SettingsPanel() {
    return kPanel;
}

} // namespace cvl::web
