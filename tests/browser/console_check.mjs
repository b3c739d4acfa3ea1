// Drives Debian's Chromium through one scenario of the console page against a
// running Plinkor (started by browser_test in its private machine). Prints one
// "figure <name> <value>" line per measurement and exits non-zero on a failed
// check, saying why. The board side is checked by the caller.
//
//   node console_check.mjs <scenario> <http|file> <examples dir> [screenshot.png]
import { mkdtempSync, readFileSync, rmSync } from "node:fs";
import { createServer } from "node:http";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { pathToFileURL } from "node:url";
import { chromium } from "playwright-core";

const [scenario, origin, examples, screenshot] = process.argv.slice(2);
const STEP_MS = 5000;

const PRECONNECT = '<link rel="preconnect" href="http://127.0.0.1:12345">';

function servePages() {
  const page = readFileSync(join(examples, "console.html"), "utf8");
  const pages = {
    "/console.html": page,
    "/console-preconnect.html": page.replace('<meta charset="utf-8">', '<meta charset="utf-8">\n' + PRECONNECT),
  };
  const server = createServer((request, response) => {
    const body = pages[new URL(request.url, "http://127.0.0.1").pathname];
    response.writeHead(body ? 200 : 404, { "Content-Type": "text/html; charset=utf-8" });
    response.end(body ?? "not here");
  });
  return new Promise(resolve => server.listen(8000, "127.0.0.1", () => resolve(server)));
}

function figure(name, value) {
  console.log(`figure ${name} ${value}`);
}

function fail(why) {
  throw new Error(why);
}

function percentile(sorted, p) {
  return sorted[Math.min(sorted.length - 1, Math.ceil((p / 100) * sorted.length) - 1)];
}

const received = page => page.$$eval("#log .rx", lines => lines.map(line => line.textContent));

async function waitForLine(page, text, after) {
  await page.waitForFunction(
    ([text, after]) => {
      const lines = [...document.querySelectorAll("#log .rx")].slice(after);
      return lines.some(line => line.textContent === text);
    },
    [text, after],
    { timeout: STEP_MS, polling: 5 });
}

async function typeCommand(page, text) {
  await page.fill("#command", text);
  await page.press("#command", "Enter");
}

// Commands that have settled (the bridge took them and closed), as the
// network sees them.
function watchCommands(page) {
  const settled = [];
  const isCommand = url => url.startsWith("http://127.0.0.1:12345/") &&
                           !url.includes("poll") && !url.includes("crossdomain.xml");
  const note = request => { if (isCommand(request.url())) settled.push(Date.now()); };
  page.on("requestfailed", note);
  page.on("requestfinished", note);
  return settled;
}

const scenarios = {
  // A few commands, each answered; the page shows the board's "ok&<command>"
  // as two lines, and Up and Down recall what was sent.
  async typed(page) {
    let seen = 0;
    for (const [command, shown] of [["hello", "hello"], ["led on", "led%20on"], ["done", "done"]]) {
      await typeCommand(page, command);
      await waitForLine(page, shown, seen);
      seen = (await received(page)).length;
    }
    const lines = await received(page);
    if (lines.slice(-2).join("|") !== "ok|done") fail("the last two lines are " + lines.slice(-2));
    await page.press("#command", "ArrowUp");
    await page.press("#command", "ArrowUp");
    if ((await page.inputValue("#command")) !== "led on") fail("Up twice does not recall 'led on'");
    await page.press("#command", "ArrowDown");
    if ((await page.inputValue("#command")) !== "done") fail("Down does not recall 'done'");
    await page.waitForFunction(() => document.getElementById("status").className === "up",
                               null, { timeout: STEP_MS });
    figure("status", JSON.stringify(await page.textContent("#status")));
    if (screenshot) await page.screenshot({ path: screenshot });
  },

  // Command, echo, next: every echo arrives, in order.
  async roundtrip(page) {
    const times = [];
    for (let i = 0; i < 100; ++i) {
      const seen = (await received(page)).length;
      const start = performance.now();
      await typeCommand(page, "rt" + i);
      await waitForLine(page, "rt" + i, seen);
      times.push(performance.now() - start);
    }
    const echoes = (await received(page)).filter(line => line.startsWith("rt"));
    const expected = Array.from({ length: 100 }, (_, i) => "rt" + i);
    if (echoes.join() !== expected.join()) fail("echoes out of order or repeated: " + echoes.join());
    times.sort((a, b) => a - b);
    figure("roundtrip_median_ms", percentile(times, 50).toFixed(1));
    figure("roundtrip_p99_ms", percentile(times, 99).toFixed(1));
  },

  // 20 commands typed without waiting; the page sends them one after another.
  async burst(page) {
    const settled = watchCommands(page);
    const start = Date.now();
    for (let i = 0; i < 20; ++i) await typeCommand(page, "b" + i);
    const typed = Date.now() - start;
    const until = Date.now() + 30000;
    while (settled.length < 20 && Date.now() < until) await page.waitForTimeout(20);
    if (settled.length < 20) fail(`only ${settled.length} of 20 commands settled`);
    figure("burst_typed_ms", typed);
    figure("burst_all_sent_ms", settled[19] - start);
  },

  // A page that preconnects to the bridge opens a connection that sends
  // nothing; the bridge holds it at most a second, so a poll behind it waits
  // about that long and polling then goes on.
  async preconnect(page, loaded) {
    const settled = [loaded];
    const note = request => { if (request.url().includes("poll")) settled.push(Date.now()); };
    page.on("requestfailed", note);
    page.on("requestfinished", note);
    await page.waitForTimeout(4000);
    let longest = 0;
    for (let i = 1; i < settled.length; ++i) longest = Math.max(longest, settled[i] - settled[i - 1]);
    figure("preconnect_polls_in_4s", settled.length - 1);
    figure("preconnect_longest_poll_gap_ms", longest);
    if (settled.length < 5) fail(`polling stalled: ${settled.length - 1} polls in 4 s`);
    if (longest > 1500) fail(`polling stood still for ${longest} ms`);
  },
};

const profile = mkdtempSync(join(tmpdir(), "plinkor-chromium-"));
const server = origin === "http" ? await servePages() : null;
let context;
try {
  if (!scenarios[scenario]) fail("no scenario " + scenario);
  context = await chromium.launchPersistentContext(profile, {
    executablePath: "/usr/bin/chromium",
    headless: true,
    viewport: { width: 760, height: 560 },
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
  const page = context.pages()[0] ?? await context.newPage();
  const name = scenario === "preconnect" ? "console-preconnect.html" : "console.html";
  const url = origin === "http" ? "http://127.0.0.1:8000/" + name
                                : pathToFileURL(join(examples, name)).href;
  if (origin !== "http" && scenario === "preconnect") fail("the preconnect page is served over http only");
  await page.goto(url, { waitUntil: "domcontentloaded" });
  const loaded = Date.now();
  await scenarios[scenario](page, loaded);
  console.log(`pass ${scenario} ${origin}`);
} catch (error) {
  console.log(`FAIL ${scenario} ${origin}: ${error.message}`);
  process.exitCode = 1;
} finally {
  await context?.close();
  server?.close();
  rmSync(profile, { recursive: true, force: true });
}
