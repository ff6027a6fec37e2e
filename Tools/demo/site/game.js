// The publisher's game page: Play opens the app's start URL for the game with
// the visitor's sign-in token, and a status line asks the app, on 127.0.0.1,
// whether it is running. The page's query names the game:
//   game.html?game=<code>[&tag=<tag>][&passarg=<text>][&gid=<player>]
// The window title follows the status line ("<name> - app running" or
// "<name> - app not running") so that a desktop test can read it.
"use strict";

const SCHEME = "jorvuvorn";
const POLL_MS = 1000;

const query = new URLSearchParams(window.location.search);
const gameCode = Number.parseInt(query.get("game") || "", 10);
const tag = query.get("tag") || "";
const passarg = query.get("passarg") || "demo";
const gid = query.get("gid") || "demo-player";

// The app's status port: the low 16 bits of the game code, moved up by 19999
// when they fall on a privileged port.
function statusPort(code) {
  const low = code % 65536;
  return low < 1024 ? low + 19999 : low;
}

// A fresh web token for this visit, as a signed-in page would hold one.
function webToken() {
  const bytes = new Uint8Array(16);
  window.crypto.getRandomValues(bytes);
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function startURL(code) {
  const token = JSON.stringify({ gid: gid, webtoken: webToken() });
  const windowsArgs = "-vantix_token:'" + token + "'";
  const game = String(code) + (tag ? "@" + encodeURIComponent(tag) : "");
  return SCHEME + "://launch?game=" + game +
    "&windowsArgs=" + encodeURIComponent(windowsArgs) +
    "&passarg=" + encodeURIComponent(passarg);
}

let gameName = "Game";
let running = null;

function showStatus(isRunning) {
  if (running === isRunning) return;
  running = isRunning;
  const line = document.getElementById("status");
  line.textContent = isRunning ? "JorvuVorn is running" : "JorvuVorn is not running";
  line.className = isRunning ? "running" : "stopped";
  document.title = gameName + (isRunning ? " - app running" : " - app not running");
}

async function pollStatus(code) {
  const controller = new AbortController();
  const timer = window.setTimeout(() => controller.abort(), 2000);
  try {
    const reply = await fetch("http://127.0.0.1:" + statusPort(code) + "/status",
                              { cache: "no-store", signal: controller.signal });
    const body = reply.ok ? await reply.json() : null;
    showStatus(body !== null && body.status === "running");
  } catch (e) {
    showStatus(false);
  } finally {
    window.clearTimeout(timer);
    window.setTimeout(() => pollStatus(code), POLL_MS);
  }
}

async function loadRecord(code) {
  try {
    const reply = await fetch("/game-info/" + code + (tag ? "@" + tag : ""), { cache: "no-store" });
    if (!reply.ok) return;
    const record = await reply.json();
    if (typeof record.game_name === "string") gameName = record.game_name;
    const release = record.game_maintenance && record.game_maintenance.available === false
      ? "Maintenance: " + (record.game_maintenance.reason || "")
      : "Manifest: " + (record.manifest_name || "none");
    document.getElementById("release").textContent = release;
  } catch (e) {
    // The page works without the record's details.
  }
  document.getElementById("name").textContent = gameName;
  const was = running;
  running = null;
  showStatus(was === true);
}

function setUpPublisherButtons(code) {
  for (const button of document.querySelectorAll("#publisher button")) {
    button.addEventListener("click", async () => {
      const game = String(code) + (tag ? "@" + tag : "");
      await fetch("/_publisher/catalogue", {
        method: "POST",
        body: JSON.stringify({ game: game, record: code + "-" + button.dataset.record }),
      });
      loadRecord(code);
    });
  }
}

function main() {
  const play = document.getElementById("play");
  if (!Number.isInteger(gameCode) || gameCode < 0 || gameCode > 4294967295) {
    document.getElementById("status").textContent = "No game on this page";
    play.removeAttribute("href");
    return;
  }
  // Every press gets a fresh token in a fresh URL.
  const refresh = () => {
    play.href = startURL(gameCode);
    document.getElementById("url").textContent = play.href;
  };
  refresh();
  play.addEventListener("click", () => window.setTimeout(refresh, 0));
  setUpPublisherButtons(gameCode);
  loadRecord(gameCode);
  pollStatus(gameCode);
}

main();
