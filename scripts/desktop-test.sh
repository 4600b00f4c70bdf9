#!/bin/bash
# Quippet on a real desktop, headless: Debian 12's GNOME Shell 43 (mutter) or KWin 5.27, each with
# xdg-desktop-portal and its desktop's backend, on PipeWire with its pulse server, in a fresh HOME, a private
# runtime folder and a private D-Bus session. Checks, and fails printing the logs on any miss:
#   - the panel maps as an XWayland client kept above, and stays above a window raised after it;
#   - the shortcuts outcome is honest: every shortcut bound and verified with the desktop's own list, or the user
#     told in the panel which commands to bind (and on KDE, a "bound" claim must show in kglobalshortcutsrc);
#   - --analyze-screen takes a picture through the Screenshot portal and it reaches the model peer (GNOME: the
#     permission is stored beforehand in the permission store, as a user's earlier "Allow" would);
#   - both capture channels (system audio and microphone) record on PipeWire;
#   - --answer and --toggle-panel reach the running instance.
#
# usage:  scripts/desktop-test.sh gnome|kde [BUILD_DIR]      (BUILD_DIR: build/desktop, configured and built here)
# Installs its packages itself (as root, or with sudo): they are not part of scripts/install-deps.sh.
set -u
DESK=${1:?usage: desktop-test.sh gnome|kde [BUILD_DIR]}
case $DESK in gnome | kde) ;; *) echo "desktop must be gnome or kde" >&2; exit 2 ;; esac
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${2:-$ROOT/build/desktop}

# --- packages (Debian 12) -----------------------------------------------------------------------------------------
COMMON="dbus-x11 xwayland xdg-desktop-portal pipewire pipewire-pulse wireplumber pulseaudio-utils x11-utils
        python3-dbus gnome-keyring libsecret-tools"
GNOME_PKGS="gnome-shell mutter xdg-desktop-portal-gnome"
KDE_PKGS="kwin-wayland xdg-desktop-portal-kde qtwayland5 plasma-workspace qml-module-org-kde-kirigami2
          qml-module-qtquick-controls2 qml-module-qtquick-layouts"
[ $DESK = gnome ] && WANT="$COMMON $GNOME_PKGS" || WANT="$COMMON $KDE_PKGS"
MISSING=$(for p in $WANT; do dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q "ok installed" || echo "$p"; done)
if [ -n "$MISSING" ]; then
    SUDO=; [ "$(id -u)" = 0 ] || SUDO=sudo
    echo "installing: $(echo $MISSING)"
    $SUDO apt-get update -qq && DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
        $MISSING >/dev/null || { echo "package installation failed" >&2; exit 1; }
fi

# --- the build ----------------------------------------------------------------------------------------------------
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUIPPET_BUILD_BENCH=OFF >/dev/null || exit 1
fi
cmake --build "$BUILD" --target quippet -j 2 >/dev/null || { echo "build failed" >&2; exit 1; }
BIN=$BUILD/src/quippet

# --- a private session --------------------------------------------------------------------------------------------
WORK=$(mktemp -d /tmp/quippet-desktop-test.XXXXXX)
PIDS=() # everything started here, in start order
export HOME=$WORK/home XDG_RUNTIME_DIR=$WORK/run
export XDG_CONFIG_HOME=$HOME/.config XDG_DATA_HOME=$HOME/.local/share XDG_CACHE_HOME=$HOME/.cache
export DBUS_SESSION_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/bus
export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$XDG_RUNTIME_DIR/system_bus
export XDG_SESSION_TYPE=wayland PATH=$HOME/.local/bin:$PATH
unset DISPLAY WAYLAND_DISPLAY XAUTHORITY QT_QPA_PLATFORM QUIPPET_INSTANCE QUIPPET_BACKEND
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
# A real desktop has ~/Pictures; KDE's screenshot portal saves there first.
mkdir -p "$HOME/.local/bin" "$XDG_DATA_HOME/applications" "$HOME/Pictures" "$XDG_CONFIG_HOME/Quippet"
# Installed for this user: no install offer.
install -m 0755 "$BIN" "$HOME/.local/bin/quippet"
install -m 0644 "$ROOT/resources/app.quippet.Quippet.desktop" "$XDG_DATA_HOME/applications/"
QLOG=$HOME/quippet-debug.log

start() { # start LOGNAME CMD...: in the background, output to $WORK/LOGNAME.log, PID remembered
    local name=$1; shift
    "$@" >"$WORK/$name.log" 2>&1 &
    PIDS+=($!)
}
wait_for() { # wait_for SECONDS TEST...: polls until the test passes
    local n=$(($1 * 5)); shift
    until "$@"; do n=$((n - 1)); [ $n -gt 0 ] || return 1; sleep 0.2; done
}
logged() { grep -q -- "$1" "$QLOG" 2>/dev/null; }

cleanup() {
    disown -a # the desktop's own crashes on the way down are not this test's outcome
    for ((i = ${#PIDS[@]} - 1; i >= 0; i--)); do kill "${PIDS[i]}" 2>/dev/null; sleep 0.2; done
    sleep 1
    # Helpers the bus started on demand carry our runtime folder in their environment: end them, one PID at a time.
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        [ "$pid" = $$ ] && continue
        case $(cat "$p/comm" 2>/dev/null) in bash | sh | dash | sleep) continue ;; esac
        grep -qsz "^XDG_RUNTIME_DIR=$XDG_RUNTIME_DIR\$" "$p/environ" && kill "$pid" 2>/dev/null
    done
    sleep 0.5
    mountpoint -q "$XDG_RUNTIME_DIR/doc" 2>/dev/null && fusermount3 -u "$XDG_RUNTIME_DIR/doc"
}
trap cleanup EXIT

FAILED=0
pass() { echo "PASS $*"; }
miss() { echo "FAIL $*"; FAILED=1; }
quote() { grep -m1 -- "$1" "$QLOG" | sed 's/^/    log: /'; }

# 1. Session bus, and a stand-in system bus (gnome-shell 43 aborts without one).
dbus-daemon --session --fork --address="$DBUS_SESSION_BUS_ADDRESS" --print-pid=1 >"$WORK/bus.pid"
cat >"$WORK/system-bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>custom</type><listen>unix:path=$XDG_RUNTIME_DIR/system_bus</listen><auth>EXTERNAL</auth>
<policy context="default"><allow send_destination="*" eavesdrop="true"/><allow eavesdrop="true"/><allow own="*"/></policy>
</busconfig>
EOF
dbus-daemon --config-file="$WORK/system-bus.conf" --fork --print-pid=1 >"$WORK/system-bus.pid"
PIDS+=($(cat "$WORK/bus.pid") $(cat "$WORK/system-bus.pid"))
[ -d /tmp/.X11-unix ] || mkdir -m 1777 /tmp/.X11-unix # XWayland's sockets
# An unlocked keyring before the desktop starts one of its own that would ask for a password.
printf %s desktop-test | gnome-keyring-daemon --unlock --components=secrets >"$WORK/keyring.env" 2>/dev/null

# 2. The compositor with XWayland.
if [ $DESK = gnome ]; then
    export XDG_CURRENT_DESKTOP=GNOME
    start compositor gnome-shell --headless --wayland --wayland-display wayland-q --virtual-monitor 1280x800
    wait_for 90 grep -q "Using public X11 display" "$WORK/compositor.log" || { cat "$WORK/compositor.log"; exit 1; }
    export DISPLAY=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$WORK/compositor.log" | head -1)
    export XAUTHORITY=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* | head -1)
else
    export XDG_CURRENT_DESKTOP=KDE KDE_FULL_SESSION=true KDE_SESSION_VERSION=5
    # A plain copy: the packaged binary's file capability cannot be had in a container.
    cp /usr/bin/kwin_wayland "$WORK/kwin_wayland"
    start compositor "$WORK/kwin_wayland" --virtual --xwayland --socket wayland-q --width 1280 --height 800 \
        --no-lockscreen
    wait_for 90 pgrep -P "${PIDS[-1]}" -x Xwayland >/dev/null || { cat "$WORK/compositor.log"; exit 1; }
    XW=$(pgrep -P "${PIDS[-1]}" -x Xwayland)
    export DISPLAY=$(tr '\0' '\n' <"/proc/$XW/cmdline" | grep -m1 '^:[0-9]')
fi
export WAYLAND_DISPLAY=wayland-q
wait_for 30 test -S "$XDG_RUNTIME_DIR/wayland-q" || { echo "no Wayland socket"; exit 1; }
wait_for 30 timeout 5 xprop -root _NET_SUPPORTING_WM_CHECK >/dev/null 2>&1 || { echo "XWayland $DISPLAY not answering"; exit 1; }
if [ $DESK = gnome ]; then
    # GNOME starts in the Activities overview: Escape through mutter's remote-desktop keyboard.
    sleep 3
    /usr/bin/python3 - <<'EOF'
import time, dbus
bus = dbus.SessionBus()
rd = bus.get_object('org.gnome.Mutter.RemoteDesktop', '/org/gnome/Mutter/RemoteDesktop')
path = rd.CreateSession(dbus_interface='org.gnome.Mutter.RemoteDesktop')
s = dbus.Interface(bus.get_object('org.gnome.Mutter.RemoteDesktop', path), 'org.gnome.Mutter.RemoteDesktop.Session')
s.Start(); time.sleep(0.5)
for down in (True, False):
    s.NotifyKeyboardKeysym(dbus.UInt32(0xff1b), down); time.sleep(0.1)
s.Stop()
EOF
fi
dbus-update-activation-environment WAYLAND_DISPLAY DISPLAY XDG_CURRENT_DESKTOP XDG_SESSION_TYPE HOME \
    XDG_RUNTIME_DIR DBUS_SYSTEM_BUS_ADDRESS ${XAUTHORITY:+XAUTHORITY} ${KDE_FULL_SESSION:+KDE_FULL_SESSION KDE_SESSION_VERSION}

# 3. Portals: the desktop's backend, then the frontend.
if [ $DESK = gnome ]; then
    start portal-backend /usr/libexec/xdg-desktop-portal-gnome
else
    start portal-backend /usr/lib/x86_64-linux-gnu/libexec/xdg-desktop-portal-kde
fi
sleep 2
start portal /usr/libexec/xdg-desktop-portal --verbose
wait_for 20 grep -q "org.freedesktop.portal.Desktop acquired" "$WORK/portal.log" || echo "portal frontend slow?"
allow_screenshots() { # what a user's "Allow" in GNOME's screenshot question leaves behind (table screenshot, app id "")
    /usr/bin/python3 - <<'EOF'
import dbus
store = dbus.SessionBus().get_object('org.freedesktop.impl.portal.PermissionStore',
                                     '/org/freedesktop/impl/portal/PermissionStore')
store.SetPermission('screenshot', True, 'screenshot', '', ['yes'],
                    dbus_interface='org.freedesktop.impl.portal.PermissionStore')
EOF
}

# 4. Sound: PipeWire and its pulse server, a null "speakers" sink and a virtual "mic" source.
start pipewire pipewire
sleep 1
start wireplumber wireplumber
start pipewire-pulse pipewire-pulse
wait_for 20 pactl info >/dev/null 2>&1 || { echo "pipewire-pulse not answering"; exit 1; }
pactl load-module module-null-sink sink_name=speakers sink_properties=device.description=Speakers >/dev/null
pactl load-module module-null-sink media.class=Audio/Source/Virtual sink_name=mic \
    sink_properties=device.description=Mic >/dev/null
pactl set-default-sink speakers
pactl set-default-source mic

# 5. Stand-in provider keys (never real ones), and a model peer on loopback that records requests.
printf %s stand-in-key | secret-tool store --label=Gemini service gemini-api-key account chatrelo
printf %s stand-in-key | secret-tool store --label=ElevenLabs service elevenlabs-api-key account chatrelo
cat >"$WORK/model-peer.py" <<'EOF'
import http.server, json, sys
log = open(sys.argv[1], 'a', buffering=1)
class Peer(http.server.BaseHTTPRequestHandler):
    def log_message(self, *a): pass
    def do_GET(self):
        body = json.dumps({"models": []}).encode()
        self.send_response(200); self.send_header('Content-Type', 'application/json')
        self.send_header('Content-Length', str(len(body))); self.end_headers(); self.wfile.write(body)
    def do_POST(self):
        data = self.rfile.read(int(self.headers.get('Content-Length', 0)))
        image = b'image/jpeg' in data
        log.write('request %s image=%s bytes=%d\n' % (self.path.split('?')[0], image, len(data)))
        chunk = {"candidates": [{"content": {"parts": [{"text": "Widzę ekran."}], "role": "model"},
                                 "finishReason": "STOP"}]}
        body = ('data: ' + json.dumps(chunk) + '\r\n\r\n').encode()
        self.send_response(200); self.send_header('Content-Type', 'text/event-stream')
        self.send_header('Content-Length', str(len(body))); self.end_headers(); self.wfile.write(body)
server = http.server.HTTPServer(('127.0.0.1', 0), Peer)
open(sys.argv[2], 'w').write(str(server.server_port))
server.serve_forever()
EOF
start model-peer /usr/bin/python3 "$WORK/model-peer.py" "$WORK/model-requests.log" "$WORK/model-peer.port"
wait_for 10 test -s "$WORK/model-peer.port" || { echo "model peer did not start"; exit 1; }
cat >"$XDG_CONFIG_HOME/Quippet/Quippet.conf" <<EOF
[General]
geminiBaseURL=http://127.0.0.1:$(cat "$WORK/model-peer.port")
elevenLabsBaseURL=http://127.0.0.1:9
transcriptionEnabled=true
EOF

# 6. Quippet, started as a desktop would (it picks XWayland itself).
(cd "$HOME" && exec quippet) >"$WORK/quippet.stderr" 2>&1 &
PIDS+=($!)
echo "work dir: $WORK ($DESK, DISPLAY=$DISPLAY)"

# --- checks -------------------------------------------------------------------------------------------------------
quippet_windows() { # X11 windows of Quippet's, bottom to top
    xprop -root _NET_CLIENT_LIST_STACKING 2>/dev/null | grep -o '0x[0-9a-f]*' | while read -r w; do
        xprop -id "$w" WM_CLASS 2>/dev/null | grep -qi quippet && echo "$w"
    done
}
panel_window() {
    for w in $(quippet_windows); do
        xprop -id "$w" _NET_WM_STATE 2>/dev/null | grep -q _NET_WM_STATE_ABOVE && { echo "$w"; return 0; }
    done
    return 1
}
stack_index() { xprop -root _NET_CLIENT_LIST_STACKING | grep -o '0x[0-9a-f]*' | grep -n "^$1\$" | cut -d: -f1; }

if wait_for 60 panel_window >/dev/null; then
    PANEL=$(panel_window)
    start other-window xmessage -geometry 700x500+100+100 "a window raised after the panel"
    OTHER_PID=${PIDS[-1]}
    wait_for 20 sh -c "xprop -root _NET_CLIENT_LIST_STACKING | grep -o '0x[0-9a-f]*' | while read w; do xprop -id \$w WM_CLASS | grep -q -i xmessage && exit 0; done; exit 1"
    sleep 2
    OTHER=$(xprop -root _NET_CLIENT_LIST_STACKING | grep -o '0x[0-9a-f]*' | while read -r w; do
        xprop -id "$w" WM_CLASS | grep -qi xmessage && echo "$w"; done | tail -1)
    P=$(stack_index "$PANEL"); O=$(stack_index "${OTHER:-none}")
    if [ -n "$O" ] && [ "$P" -gt "$O" ]; then
        pass "panel $PANEL ($(xprop -id "$PANEL" _NET_WM_STATE | sed 's/.*= //')) is above the window raised after it ($OTHER)"
    else
        miss "panel $PANEL at $P, the raised window ${OTHER:-(none)} at ${O:-?} in the stacking order"
    fi
    kill "$OTHER_PID" 2>/dev/null
else
    miss "no Quippet window kept above appeared"
fi

if wait_for 40 sh -c "grep -q 'skróty: przez portal pulpitu (GlobalShortcuts), każdy ma klawisze' '$QLOG' || grep -q 'skróty: w panelu podano polecenia' '$QLOG'" 2>/dev/null; then
    if logged "każdy ma klawisze"; then
        if [ $DESK = kde ] && ! grep -qi quippet "$XDG_CONFIG_HOME/kglobalshortcutsrc" 2>/dev/null; then
            miss "shortcuts claimed bound, but kglobalshortcutsrc has no quippet component"
        else
            pass "shortcuts bound and verified"; quote "każdy ma klawisze"
        fi
    else
        pass "shortcuts do not work here and the user was told in the panel"
        grep -- "skróty:" "$QLOG" | sed 's/^/    log: /'
    fi
else
    miss "no shortcuts outcome in the log"
fi

if [ $DESK = gnome ]; then
    # Not allowed yet: GNOME asks, and nobody answers. The panel must be back within seconds, saying so.
    quippet --analyze-screen
    if wait_for 8 logged "pulpit jeszcze nie odpowiedział (pyta o zgodę?) — panel wraca" &&
        xwininfo -id "${PANEL:-0}" 2>/dev/null | grep -q IsViewable; then
        pass "the desktop asks for permission: the panel is back and says so"
        quote "ekran: prośba o zrzut"; quote "panel wraca"
    else
        miss "while the desktop asked for permission the panel did not come back within seconds"
    fi
    # The question lapses (GNOME: 25 s) or Quippet stops waiting (30 s); then the user's "Allow" is stored.
    if wait_for 40 logged "ekran: na karcie: "; then
        pass "the unanswered question ends in bounded time, saying how to allow screenshots later"
        quote "ekran: na karcie: "
    else
        miss "no outcome of the unanswered permission question within 40 s"
    fi
    allow_screenshots || miss "permission store not reachable"
fi
quippet --analyze-screen
if wait_for 60 grep -q "image=True" "$WORK/model-requests.log" 2>/dev/null; then
    pass "--analyze-screen: a picture from the portal reached the model peer"
    quote "ekran: prośba o zrzut"; quote "ekran: zrzut z portalu"
    grep -m1 "image=True" "$WORK/model-requests.log" | sed 's/^/    model peer: /'
else
    miss "--analyze-screen: no screen request reached the model peer"
    grep -- "ekran:" "$QLOG" 2>/dev/null | sed 's/^/    log: /'
fi

record_streams() { pactl list source-outputs 2>/dev/null | grep -c 'application.process.binary = "quippet"'; }
if wait_for 40 sh -c "[ \$(pactl list source-outputs 2>/dev/null | grep -c 'application.process.binary = \"quippet\"') -ge 2 ]"; then
    pass "both capture channels record on PipeWire ($(record_streams) streams)"
    pactl list source-outputs | grep -E 'media.name|target.object|Source:' | sed 's/^\s*/    pipewire: /' | head -6
else
    miss "capture: $(record_streams) record streams of Quippet's on PipeWire, 2 expected"
fi

for action in --answer --toggle-panel --toggle-panel; do quippet $action; done
if wait_for 20 sh -c "[ \$(grep -c 'polecenie: --toggle-panel' '$QLOG') -ge 2 ] && grep -q 'polecenie: --answer' '$QLOG'"; then
    pass "--answer and --toggle-panel reached the running instance"
else
    miss "commands did not reach the running instance"
fi

if [ $FAILED = 0 ]; then
    echo "desktop test ($DESK): all checks passed; logs in $WORK"
    exit 0
fi
echo "--- ~/quippet-debug.log"; cat "$QLOG" 2>/dev/null
echo "--- Quippet's stderr"; tail -40 "$WORK/quippet.stderr"
echo "--- portal (last lines)"; tail -30 "$WORK/portal.log"
echo "desktop test ($DESK): FAILED; logs in $WORK"
exit 1
