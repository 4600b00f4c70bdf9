#!/usr/bin/env bash
# A team's first call, end to end on this machine, as a new rep would have it:
#   1. two quippet-server processes serve one database: SQLite, or PostgreSQL when QUIPPET_SERVER_DATABASE names one
#      (QUIPPET_SERVER_DATABASE=$QUIPPET_TEST_DATABASE under scripts/pg-private.sh run); `user add` and `docs add`
#      prepare the rep and the team's price list;
#   2. Quippet starts with no token and no keys, pointed at the second process; its first face's server route is
#      pressed by the name a screen reader speaks; the sign-in page (the first process's, the public address) is
#      filled in headless Chromium while Quippet polls the second;
#   3. Quippet pulls the document, listens with a speech token the server asked the speech service for, hears a
#      client's question played into the loudspeakers, and streams the answer through the server's model relay;
#   4. finishing the call writes the note and closes the metered session; `usage` shows the seconds charged.
#
#   scripts/with-test-session.sh bench/team.sh [build folder, default build/dev]
#
# Needs what the tests need (pulseaudio, espeak-ng, python3-pyatspi, at-spi2-core, chromium, chromium-driver,
# python3-selenium). The speech and model services are bench_listening_peers; nothing leaves 127.0.0.1.
set -euo pipefail
build=$(realpath "${1:-build/dev}")
cd "$(dirname "$0")/.."
. bench/harness.sh
server_bin=$build/src/server/quippet-server
email=rep@example.com
password='Correct horse 7'

start_sound_server
start_peers voice
free_port() { /usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
port2=$(free_port)
server=http://127.0.0.1:$port
server2=http://127.0.0.1:$port2
export QUIPPET_SERVER_DATABASE=${QUIPPET_SERVER_DATABASE:-sqlite:$work/server.db}
echo "database: ${QUIPPET_SERVER_DATABASE%%:*}"
export QUIPPET_SERVER_ELEVENLABS_KEY=sk_server QUIPPET_SERVER_GEMINI_KEY=test-key
export QUIPPET_SERVER_ELEVENLABS_URL=$sttapi QUIPPET_SERVER_GEMINI_URL=$llm

echo "== the server =="
printf '%s\n' "$password" | "$server_bin" user add "$email" --seconds 3600
printf '# Cennik\nPakiet zespołowy: 4 200 zł netto miesięcznie za 10 stanowisk.\n' > "$work/cennik.md"
"$server_bin" docs add "$work/cennik.md"
"$server_bin" serve --listen "127.0.0.1:$port" --public-url "$server/" > "$work/server.log" 2>&1 &
pids+=($!)
# The second process takes the programs' calls; browsers are sent to the first.
"$server_bin" serve --listen "127.0.0.1:$port2" --public-url "$server/" > "$work/server2.log" 2>&1 &
pids+=($!)
for url in "$server" "$server2"; do
  for _ in $(seq 100); do curl -s -o /dev/null "$url/" && break; sleep 0.1; done
done
echo "serving at $server (pages) and $server2 (Quippet)"

# A new rep: no token, no keys; the desktop's browser is a recorder of the addresses Quippet asks it to open.
new_home meetingDetection=false
secret-tool clear service backend-token account chatrelo
export QUIPPET_BACKEND=$server2
mkdir -p "$work/bin"
printf '#!/bin/sh\necho "$1" >> %s/opened.txt\n' "$work" > "$work/bin/xdg-open"
chmod +x "$work/bin/xdg-open"
export PATH=$work/bin:$PATH
log=$HOME/quippet-debug.log
wait_log() { # pattern, seconds
  for _ in $(seq $(( $2 * 10 ))); do grep -q -- "$1" "$log" 2>/dev/null && return 0; sleep 0.1; done
  echo "timed out waiting for: $1" >&2; tail -n 30 "$log" >&2; return 1
}

/usr/libexec/at-spi-bus-launcher --launch-immediately &
pids+=($!)
sleep 1
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 LANGUAGE=en
"$HOME/.local/bin/quippet" 2> "$work/quippet.err" &
pids+=($!)
press() { # the spoken name of a control on the panel
  /usr/bin/python3 -c "
import sys; sys.path.insert(0, 'bench'); import a11y_walk as w
w.press(w.app(), sys.argv[1])" "$1"
}

echo "== signing in through the server's page =="
press "Sign in to a Quippet server"
for _ in $(seq 100); do [ -s "$work/opened.txt" ] && break; sleep 0.1; done
page=$(head -1 "$work/opened.txt")
echo "opened: ${page%%\?*}?…"
/usr/bin/python3 - "$page" "$email" "$password" <<'PY'
import sys
from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.chrome.service import Service
options = webdriver.ChromeOptions()
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--user-data-dir=/tmp/quippet-team-chromium"):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
try:
    driver.get(sys.argv[1])
    driver.find_element(By.ID, "email").send_keys(sys.argv[2])
    driver.find_element(By.ID, "password").send_keys(sys.argv[3])
    driver.find_element(By.ID, "signin").click()
    print("asked:", driver.find_element(By.ID, "question").text)
    driver.find_element(By.ID, "connect").click()
    print("page says:", driver.find_element(By.ID, "done").text)
finally:
    driver.quit()
PY
for _ in $(seq 150); do secret-tool lookup service backend-token account chatrelo > /dev/null 2>&1 && break; sleep 0.1; done
secret-tool lookup service backend-token account chatrelo > /dev/null || { echo "no token reached Quippet"; exit 1; }
echo "signed in: the token is in the keyring"
for _ in $(seq 100); do [ -f "$HOME/quippet-context/cennik.md" ] && break; sleep 0.1; done
[ -f "$HOME/quippet-context/cennik.md" ] && echo "pulled: quippet-context/cennik.md" || { echo "the document was not pulled"; exit 1; }

echo "== a call =="
press "Start listening"
wait_log "połączono ze Scribe" 20
grep -m1 "połączono ze Scribe" "$log" | sed 's/^/  /'
espeak-ng -v pl -w "$work/question.wav" "Ile kosztuje pakiet dla zespołu?"
sleep 1
paplay --device=speakers "$work/question.wav"
wait_log "auto: wykryto pytanie" 30
grep -m1 "auto: wykryto pytanie" "$log" | sed 's/^/  /'
# The answer streamed from the model peer through the server's relay, as a screen reader reads the card.
/usr/bin/python3 - <<'PY'
import sys, time
sys.path.insert(0, "bench")
import a11y_walk as w
root = w.app()
for _ in range(150):
    for node in w.walk(root):
        try:
            text = node.queryText().getText(0, -1)
        except Exception:
            continue
        if "Fragment 1 odpowiedzi" in text:
            print("  the answer card reads:", text[:90].replace("\n", " "), "…")
            sys.exit(0)
    time.sleep(0.2)
sys.exit("  no answer reached the card")
PY
press "Finish"
for _ in $(seq 300); do ls "$HOME/quippet-rozmowy/"*.md > /dev/null 2>&1 && break; sleep 0.1; done
note=$(ls "$HOME/quippet-rozmowy/"*.md | head -1)
echo "note: $(basename "$note")"
grep -q "Ile kosztuje" "$note" && echo "  the note holds the client's question" || { echo "  the question is not in the note"; exit 1; }

echo "== what the server charged =="
sleep 2
"$server_bin" usage "$email"
