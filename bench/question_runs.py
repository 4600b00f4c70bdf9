#!/usr/bin/env python3
"""Plays recorded client questions into the private sound server's speakers and times each one from the end of its
audio (its last sound heard on the speakers' monitor) to the first words of its answer painted in the panel (the program's QUIPPET_TRACE_ANSWERS lines), for one or
more variants of the program in turn, against the loopback peers bench/question.sh started. Questions come whole or
in two parts with a pause; an answer painted for the first part alone is a half-question answer.

    question_runs.py WORK NAME=BINARY[:pref=value,...] ...

Prints one table row per variant and writes WORK/question-runs.json. Nothing leaves 127.0.0.1.
"""
import json
import os
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time
import wave

RATE = 22050  # espeak-ng's output
CHUNK = RATE // 50  # 20 ms
WHOLE = [
    "Ile kosztuje wdrożenie systemu w naszej firmie?",
    "Jak długo trwa szkolenie dla nowych pracowników?",
    "Czy macie klientów z branży logistycznej?",
    "Kiedy moglibyśmy zacząć pierwszy etap projektu?",
    "Jakie są warunki umowy serwisowej po wdrożeniu?",
    "Gdzie przechowujecie dane naszych klientów?",
    "Kto będzie naszym opiekunem po podpisaniu umowy?",
    "Czy system działa także na telefonach?",
    "Ile osób pracuje w waszym zespole wsparcia?",
    "Jak wygląda proces zgłaszania awarii?",
]
TWO_PARTS = [
    ("Ile kosztuje wdrożenie", "dla zespołu dwudziestu osób?"),
    ("Jak długo trwa migracja danych", "z naszego starego systemu?"),
    ("Czy możecie przygotować ofertę", "do końca przyszłego tygodnia?"),
    ("Kiedy będzie gotowa nowa wersja", "z modułem raportów?"),
    ("Jakie macie rabaty", "przy umowie na trzy lata?"),
    ("Ile trwa wsparcie techniczne", "w podstawowym pakiecie?"),
    ("Czy szkolenie jest wliczone", "w cenę licencji?"),
    ("Gdzie są wasze serwery", "dla klientów z Polski?"),
    ("Kto odpowiada za integrację", "z naszym systemem księgowym?"),
    ("Jak często wydajecie aktualizacje", "dla klientów korporacyjnych?"),
]
PAUSES = [0.6, 1.0]
GAP_AFTER = 5.5  # seconds of quiet after each question: the answer, the spacing between automatic answers


def speech(text, path):
    subprocess.run(["espeak-ng", "-v", "pl", "-w", path, text], check=True)
    with wave.open(path) as w:
        assert w.getframerate() == RATE and w.getnchannels() == 1 and w.getsampwidth() == 2
        data = w.readframes(w.getnframes())
    # Trimmed to the speech: 10 ms windows louder than -40 dBFS.
    n = len(data) // 2
    samples = memoryview(data).cast("h")
    win = RATE // 100
    loud = [i for i in range(0, n - win, win)
            if sum(s * s for s in samples[i:i + win]) / win > 327.68 ** 2]
    return bytes(data[loud[0] * 2:(loud[-1] + win) * 2])


class Player:
    """One pacat stream kept playing (silence between sounds), written in 20 ms pieces at real-time pace, so that
    the moment a piece is written is the moment it is played, give or take the stream's fixed latency."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--format=s16le", f"--rate={RATE}", "--channels=1",
             "--latency-msec=30", "--device=speakers"], stdin=subprocess.PIPE)
        self.queue = []  # (bytes, event or None)
        self.lock = threading.Lock()
        self.running = True
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def play(self, pcm):
        """Queues pcm; returns an object whose .at is set to the time its last piece was written."""
        done = threading.Event()
        with self.lock:
            for i in range(0, len(pcm), CHUNK * 2):
                last = i + CHUNK * 2 >= len(pcm)
                self.queue.append((pcm[i:i + CHUNK * 2].ljust(CHUNK * 2, b"\0"), done if last else None))
        return done

    def run(self):
        start = time.monotonic()
        k = 0
        silence = b"\0" * (CHUNK * 2)
        while self.running:
            with self.lock:
                piece, done = self.queue.pop(0) if self.queue else (silence, None)
            self.proc.stdin.write(piece)
            self.proc.stdin.flush()
            if done:
                done.at = time.monotonic()
                done.set()
            k += 1
            time.sleep(max(0.0, start + k * CHUNK / RATE - time.monotonic()))

    def close(self):
        self.running = False
        self.thread.join()
        self.proc.stdin.close()
        self.proc.wait()


class Recorder:
    """Listens to the speakers' monitor, as the program does, in 10 ms pieces with little latency: the time the
    question's last sound was heard there is its end."""

    def __init__(self):
        self.proc = subprocess.Popen(
            ["parec", "--raw", "--format=s16le", f"--rate={RATE}", "--channels=1", "--latency-msec=10",
             "--device=speakers.monitor"], stdout=subprocess.PIPE)
        self.last_loud = 0.0
        self.first_loud = 0.0
        self.loud = False
        self.heard = False  # a sound began since mark()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        piece = RATE // 100 * 2
        while True:
            data = self.proc.stdout.read(piece)
            if not data:
                return
            now = time.monotonic()
            samples = memoryview(data[:len(data) // 2 * 2]).cast("h")
            loud = len(samples) > 0 and sum(s * s for s in samples) / len(samples) > 327.68 ** 2
            if loud:
                if not self.loud:
                    self.first_loud = now
                    self.heard = True
                self.last_loud = now
            self.loud = loud

    def mark(self):
        self.heard = False

    def wait_heard(self, timeout=10):
        until = time.monotonic() + timeout
        while time.monotonic() < until and not self.heard:
            time.sleep(0.01)

    def quiet_for(self, seconds, timeout=10):
        until = time.monotonic() + timeout
        while time.monotonic() < until and (self.loud or time.monotonic() - self.last_loud < seconds):
            time.sleep(0.02)

    def close(self):
        self.proc.terminate()
        self.proc.wait()


def name_part(work, q, i):
    with open(os.path.join(work, "spoken.tmp"), "w") as f:
        f.write(f"{q['id']}-{i}\t{q['parts'][i][0]}")
    os.replace(os.path.join(work, "spoken.tmp"), os.path.join(work, "spoken"))


def norm(text):
    return re.sub(r"[^\w ]", "", text.lower()).strip()


def run_variant(work, name, binary, prefs, questions, player, recorder):
    home = os.environ["HOME"]
    shutil.copy(binary, os.path.join(home, ".local/bin/quippet"))
    conf = os.path.join(home, ".config/Quippet/Quippet.conf")
    with open(os.path.join(work, "base.conf")) as f:
        base = f.read()
    with open(conf, "w") as f:
        f.write(base + "".join(f"{k}={v}\n" for k, v in prefs.items()))
    err_path = os.path.join(work, f"{name}.err")
    env = dict(os.environ, QUIPPET_TRACE_ANSWERS="1", LANG="pl_PL.UTF-8")
    app = subprocess.Popen([os.path.join(home, ".local/bin/quippet")], stderr=open(err_path, "w"), env=env)
    try:
        window = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Quippet$"],
                                capture_output=True, text=True, timeout=30).stdout.split()[0]
        time.sleep(2)
        geo = dict(line.split("=") for line in subprocess.run(
            ["xdotool", "getwindowgeometry", "--shell", window], capture_output=True, text=True).stdout.split())
        # The welcome face's primary button ("Start listening") at the bottom of the panel.
        subprocess.run(["xdotool", "mousemove", str(int(geo["X"]) + int(geo["WIDTH"]) // 2),
                        str(int(geo["Y"]) + int(geo["HEIGHT"]) - 35), "click", "1"], check=True)
        time.sleep(6)
        requests_before = requests(work)
        runs = []
        for q in questions:
            run = {"kind": q["kind"], "whole": q["whole"], "half": q.get("half")}
            run["start"] = time.monotonic()
            # All parts go out as one sound, so the pauses are exact; each part is named after the one before it was
            # heard to end, before it sounds itself (the speech peer reads the name when a stretch reaches it).
            name_part(work, q, 0)
            recorder.mark()
            player.play(b"".join(pcm + b"\0" * (int(pause * RATE) * 2) for _, pcm, pause in q["parts"]))
            for i in range(1, len(q["parts"])):
                recorder.wait_heard()
                recorder.quiet_for(0.3)
                run["part_end"] = recorder.last_loud
                name_part(work, q, i)
                recorder.mark()
            recorder.wait_heard()
            if len(q["parts"]) > 1:
                run["pause_heard"] = recorder.first_loud - run["part_end"]
            recorder.quiet_for(0.5)
            run["end"] = recorder.last_loud
            time.sleep(GAP_AFTER - 0.5)
            runs.append(run)
        time.sleep(1)
        extra = requests(work) - requests_before - len(questions)
    finally:
        app.send_signal(signal.SIGTERM)
        try:
            app.wait(5)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()
    painted = []
    with open(err_path, errors="replace") as f:
        for line in f:
            m = re.match(r"\[answer\] first words painted ([\d.]+) (.*)", line.rstrip("\n"))
            if m:
                painted.append((float(m.group(1)) / 1000.0, norm(m.group(2))))
    for j, run in enumerate(runs):
        until = runs[j + 1]["start"] if j + 1 < len(runs) else float("inf")
        mine = [(t, qtext) for t, qtext in painted if run["start"] <= t < until]
        whole = [t for t, qtext in mine if qtext.endswith(norm(run["whole"]))]
        run["latency"] = whole[0] - run["end"] if whole else None
        run["half_painted"] = bool(run["half"]) and any(
            qtext.endswith(norm(run["half"])) for t, qtext in mine)
        run["last_is_whole"] = bool(mine) and mine[-1][1].endswith(norm(run["whole"]))
    return {"name": name, "runs": runs, "extra_requests": extra}


def requests(work):
    count = 0
    with open(os.path.join(work, "peers.txt")) as f:
        for line in f:
            if line.startswith("requests "):
                count = int(line.split()[1])
    return count


def pct(values, p):
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p * (len(values) - 1))))]


def main():
    work = sys.argv[1]
    variants = []
    for arg in sys.argv[2:]:
        name, rest = arg.split("=", 1)
        binary, _, prefs = rest.partition(":")
        variants.append((name, binary, dict(p.split("=", 1) for p in prefs.split(",") if p)))
    count = int(os.environ.get("QUESTIONS", "10"))  # of each kind
    questions = []
    for n, text in enumerate(WHOLE[:count]):
        questions.append({"id": f"w{n}", "kind": "whole", "whole": text,
                          "parts": [(text, speech(text, f"{work}/w{n}.wav"), 0.0)]})
    for pause in PAUSES:
        for n, (a, b) in enumerate(TWO_PARTS[:count]):
            qid = f"p{int(pause * 10)}-{n}"
            questions.append({"id": qid, "kind": f"pause {pause:.1f} s", "whole": f"{a} {b}", "half": a,
                              "parts": [(a, speech(a, f"{work}/{qid}a.wav"), pause),
                                        (b, speech(b, f"{work}/{qid}b.wav"), 0.0)]})
    player = Player()
    recorder = Recorder()
    results = []
    try:
        for name, binary, prefs in variants:
            results.append(run_variant(work, name, binary, prefs, questions, player, recorder))
    finally:
        player.close()
        recorder.close()
    with open(os.path.join(work, "question-runs.json"), "w") as f:
        json.dump(results, f, indent=1)
    print(f"{'variant':<14} {'whole: median':>14} {'p90':>6} {'answered':>9}   "
          f"{'0.6 s: half painted':>19} {'final whole':>11} {'median':>7}   "
          f"{'1.0 s: half painted':>19} {'final whole':>11} {'median':>7}   {'extra requests':>14}")
    for r in results:
        row = f"{r['name']:<14}"
        whole = [x["latency"] for x in r["runs"] if x["kind"] == "whole" and x["latency"] is not None]
        n_whole = sum(1 for x in r["runs"] if x["kind"] == "whole")
        row += f" {statistics.median(whole) if whole else float('nan'):>13.2f}s" \
               f" {pct(whole, 0.9) if whole else float('nan'):>5.2f}s {len(whole):>4}/{n_whole:<4}"
        for pause in PAUSES:
            kind = f"pause {pause:.1f} s"
            mine = [x for x in r["runs"] if x["kind"] == kind]
            lat = [x["latency"] for x in mine if x["latency"] is not None]
            row += f"   {sum(x['half_painted'] for x in mine):>14}/{len(mine):<4}" \
                   f" {sum(x['last_is_whole'] for x in mine):>6}/{len(mine):<4}" \
                   f" {statistics.median(lat) if lat else float('nan'):>6.2f}s"
        row += f"   {r['extra_requests']:>14}"
        print(row)
    for r in results:
        for pause in PAUSES:
            heard = [x["pause_heard"] for x in r["runs"] if x["kind"] == f"pause {pause:.1f} s" and "pause_heard" in x]
            if heard:
                print(f"{r['name']}: pauses of {pause:.1f} s as heard on the speakers' monitor: "
                      f"{min(heard):.2f}-{max(heard):.2f} s")


if __name__ == "__main__":
    main()
