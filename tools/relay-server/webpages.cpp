#include "webpages.h"

namespace velto::relayserver {

namespace {

const char* const liveHtml = R"HTML(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>Velto relay server - live</title>
<style>
body{font:14px system-ui,sans-serif;margin:1.5em;color:#222}
h1{font-size:1.3em}
#relays span{display:inline-block;margin:0 .5em .3em 0;padding:.2em .6em;border-radius:1em;background:#eee}
#relays span.auth{background:#cfe9cf}
table{border-collapse:collapse;width:100%}
td,th{border-bottom:1px solid #ddd;padding:.25em .5em;text-align:left;vertical-align:top}
td.json{font-family:ui-monospace,monospace;font-size:12px;white-space:pre-wrap;word-break:break-all;max-width:60em}
tr.server td{color:#555}
tr.http td{background:#f5f8ff}
textarea{width:100%;height:6em;font-family:ui-monospace,monospace}
</style></head><body>
<h1>Relay server &mdash; live events</h1>
<div id="relays">No relay connected</div>
<details><summary>Push a message to the connected relays</summary>
<textarea id="push">{"type":"GET_STATUS","requestId":"demo-1","timestamp":0}</textarea>
<button id="send">Send</button> <span id="sent"></span></details>
<table><thead><tr><th>#</th><th>time</th><th>source</th><th>relay</th><th>type</th><th>content</th></tr></thead>
<tbody id="events"></tbody></table>
<script>
"use strict";
let since = 0;
const rows = document.getElementById("events");
function cell(row, text, cls) {
  const td = document.createElement("td");
  td.textContent = text;  // event content comes from outside: never parsed as HTML
  if (cls) td.className = cls;
  row.appendChild(td);
}
function summary(e) {
  const rest = Object.assign({}, e);
  for (const k of ["seq", "receivedAt", "source", "type", "relayId", "connectionId"]) delete rest[k];
  const text = JSON.stringify(rest.message !== undefined ? rest.message : rest, null, 1);
  return text.length > 1500 ? text.slice(0, 1500) + " ..." : text;
}
async function poll() {
  try {
    const reply = await fetch("/control/events?since=" + since + "&limit=500");
    const data = await reply.json();
    if (data.lastSeq < since) since = 0;  // the server started afresh
    for (const e of data.events) {
      const row = document.createElement("tr");
      row.className = e.source;
      cell(row, e.seq);
      cell(row, new Date(e.receivedAt).toLocaleTimeString());
      cell(row, e.source);
      cell(row, e.relayId || "");
      cell(row, e.type);
      cell(row, summary(e), "json");
      rows.insertBefore(row, rows.firstChild);
      since = e.seq;
    }
    while (rows.children.length > 1000) rows.removeChild(rows.lastChild);
    const relays = (await (await fetch("/control/relays")).json()).relays;
    const box = document.getElementById("relays");
    box.textContent = relays.length ? "" : "No relay connected";
    for (const r of relays) {
      const tag = document.createElement("span");
      tag.className = r.authenticated ? "auth" : "";
      tag.textContent = (r.relayId || "(not identified)") + (r.authenticated ? " \u2713" : "") + " via " + r.keySource;
      box.appendChild(tag);
    }
  } catch (err) { /* the server may be restarting */ }
  setTimeout(poll, 700);
}
document.getElementById("send").onclick = async () => {
  const reply = await fetch("/control/send", {method: "POST", body: document.getElementById("push").value});
  const data = await reply.json();
  document.getElementById("sent").textContent = data.error ? data.error : "sent to " + data.sent;
};
poll();
</script></body></html>
)HTML";

} // namespace

QByteArray WebPages::live()
{
    return QByteArray(liveHtml);
}

QByteArray WebPages::connect(const QString& token, const QString& link, const QDateTime& expiresAt)
{
    const QString html = QStringLiteral(
        "<!doctype html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>Connect a relay</title>"
        "<style>body{font:15px system-ui,sans-serif;margin:2em;max-width:44em}"
        "code{background:#f3f3f3;padding:.2em .4em;word-break:break-all}"
        "a.button{display:inline-block;padding:.6em 1.2em;background:#2a6df4;color:#fff;border-radius:.4em;"
        "text-decoration:none}</style></head><body>\n"
        "<h1>Connect your Mac</h1>\n"
        "<p><a class=\"button\" id=\"link\" href=\"%1\">Open in Velto</a></p>\n"
        "<p>Or paste this registration token into the setup wizard:</p>\n"
        "<p><code id=\"token\">%2</code></p>\n"
        "<p>The token works once and expires at %3.</p>\n"
        "</body></html>\n")
        .arg(link.toHtmlEscaped(), token.toHtmlEscaped(),
             expiresAt.toLocalTime().toString(Qt::ISODate).toHtmlEscaped());
    return html.toUtf8();
}

} // namespace velto::relayserver
