# Sourced by the whole-program scripts (listening.sh, practice.sh): a scratch folder cleaned up on exit with every
# background process, a private PulseAudio daemon, the loopback peers, and a new user's home that uses them.
# Nothing leaves 127.0.0.1.
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Speakers (the client's side, the default output) and a microphone fed from a second null sink ("micfeed");
# any further lines of PulseAudio script come as arguments.
start_sound_server() {
  mkdir -p "$work/pa/runtime" "$work/pa/home"; chmod 700 "$work/pa/runtime"
  {
    echo ".fail"
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$work/pa/native"
    echo "load-module module-null-sink sink_name=speakers rate=48000 sink_properties=device.description=Speakers"
    echo "load-module module-null-sink sink_name=micfeed rate=48000 sink_properties=device.description=MicFeed"
    echo "load-module module-remap-source source_name=testmic master=micfeed.monitor source_properties=device.description=TestMic"
    for line in "$@"; do echo "$line"; done
    echo "set-default-sink speakers"
    echo "set-default-source testmic"
  } > "$work/pa/ci.pa"
  HOME=$work/pa/home XDG_RUNTIME_DIR=$work/pa/runtime pulseaudio --daemonize=no --exit-idle-time=-1 -n \
    -F "$work/pa/ci.pa" --log-target=file:"$work/pa/pa.log" &
  pids+=($!)
  export PULSE_SERVER=unix:$work/pa/native
  for _ in $(seq 50); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
}

# bench_listening_peers with its arguments; sets $backend, $llm and $stt.
start_peers() {
  "$build/bench/bench_listening_peers" "$@" > "$work/peers.txt" &
  pids+=($!)
  for _ in $(seq 50); do [ "$(wc -l < "$work/peers.txt")" -ge 4 ] && break; sleep 0.1; done
  backend=$(awk '$1=="backend"{print $2}' "$work/peers.txt")
  sttapi=$(awk '$1=="sttapi"{print $2}' "$work/peers.txt")
  llm=$(awk '$1=="llm"{print $2}' "$work/peers.txt")
  stt=$(awk '$1=="stt"{print $2}' "$work/peers.txt")
}

# A new user's home, signed in (the backend takes the stored token), profile step skipped, installed per user;
# further preference lines come as arguments.
new_home() {
  export HOME=$work/home
  mkdir -p "$HOME/.config/Quippet" "$HOME/.local/bin"
  cp "$build/src/quippet" "$HOME/.local/bin/quippet"
  {
    echo "[General]"
    echo "elevenLabsBaseURL=$stt"
    echo "geminiBaseURL=$llm"
    echo "onboardingSkipped=true"
    echo "echoCancellation=false"
    echo "launchAtLoginSeeded=true"
    for line in "$@"; do echo "$line"; done
  } > "$HOME/.config/Quippet/Quippet.conf"
  export QUIPPET_BACKEND=$backend QUIPPET_INSTANCE=quippet-bench-$$
  printf %s bench-token | secret-tool store --label=Quippet service backend-token account chatrelo
}
