#!/usr/bin/python3
"""End to end over SRT: a game clock set in the DSEG typeface counts down 140 seconds, each second
shown one second; the real `ffmpeg` encodes it with libx264 and sends it as SRT caller into the
program's SRT listener on 127.0.0.1; the program reads one clock zone, and its event stream tells
which clock values it published. Prints the values published right, wrong and missing.

    srt_clock.py PATH/TO/app/tessvark [--font DSEG7Classic-Regular.ttf] [--rate 4M] [--keep DIR]

Starts the program on a temporary data folder and stops it with SIGTERM. Loopback only. Needs
python3-pil and ffmpeg built with libsrt. Not used by the tests."""

import argparse
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import urllib.request

from PIL import Image, ImageDraw, ImageFont

FONT_DIR = "/usr/share/fonts/truetype/dseg"

WIDTH, HEIGHT = 1280, 720
START = 14 * 60 + 59  # 14:59 down to 12:40: 140 values
COUNT = 140
LEAD_S, TAIL_S = 6, 2  # the first value while the zone is drawn on it, the last after the count


def clock_text(seconds):
    return f"{seconds // 60:02d}:{seconds % 60:02d}"


def draw_board(text, font_file, height):
    """The board as the typeface draws it: lit bars over the faint unlit ones ("88:88")."""
    font = ImageFont.truetype(os.path.join(FONT_DIR, font_file), height)
    ghost = re.sub(r"[0-9]", "8", text)
    margin = int(0.15 * height) + 2
    img = Image.new("RGB", (int(font.getlength(ghost)) + 1 + 2 * margin, height + 2 * margin), (18, 18, 22))
    d = ImageDraw.Draw(img)
    d.text((margin, margin), ghost, font=font, fill=(56, 56, 60))
    d.text((margin, margin), text, font=font, fill=(255, 60, 30))
    return img


def draw_frames(folder, font):
    """One picture per second: the board in the middle of a dark frame. Returns the zone as
    fractions of the frame (the board's box with its margin)."""
    values = [START - i for i in range(COUNT)]
    shown = [values[0]] * LEAD_S + values + [values[-1]] * TAIL_S
    box = None
    for i, v in enumerate(shown):
        board = draw_board(clock_text(v), font, 150)
        frame = Image.new("RGB", (WIDTH, HEIGHT), (40, 44, 52))
        x, y = (WIDTH - board.size[0]) // 2, (HEIGHT - board.size[1]) // 2
        frame.paste(board, (x, y))
        frame.save(os.path.join(folder, f"f{i:04d}.png"))
        box = (x / WIDTH, y / HEIGHT, board.size[0] / WIDTH, board.size[1] / HEIGHT)
    return [clock_text(v) for v in values], box


def encode(folder, rate):
    clip = os.path.join(folder, "clock.ts")
    subprocess.run(["ffmpeg", "-loglevel", "error", "-y", "-framerate", "1", "-i",
                    os.path.join(folder, "f%04d.png"), "-vf", "fps=25", "-c:v", "libx264", "-b:v", rate,
                    "-maxrate", rate, "-bufsize", rate, "-g", "50", "-pix_fmt", "yuv420p",
                    "-f", "mpegts", clip], check=True)
    return clip


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Program:
    def __init__(self, path, work):
        os.makedirs(os.path.join(work, "runtime"), mode=0o700)
        os.makedirs(os.path.join(work, "data"), mode=0o700)
        env = dict(os.environ, XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        self.log = open(os.path.join(work, "program.log"), "w")
        self.proc = subprocess.Popen([path, "--no-browser", "--config", os.path.join(work, "data")],
                                     env=env, stderr=self.log, stdout=self.log)
        url_file = os.path.join(work, "data", "tessvark-url")
        deadline = time.time() + 60
        while not (os.path.exists(url_file) and os.path.getsize(url_file) > 0):
            if self.proc.poll() is not None or time.time() > deadline:
                raise SystemExit("the program did not start; see " + self.log.name)
            time.sleep(0.1)
        self.url = open(url_file).read().strip().rstrip("/")
        page = urllib.request.urlopen(self.url + "/").read().decode()
        self.token = re.search(r"const CSRF_TOKEN = '([A-Za-z0-9_-]{43})'", page).group(1)

    def request(self, method, route, body=None):
        data = None if body is None else json.dumps(body).encode()
        req = urllib.request.Request(self.url + route, data=data, method=method)
        req.add_header("Origin", self.url)
        req.add_header("X-Tessvark-CSRF", self.token)
        if data is not None:
            req.add_header("Content-Type", "application/json")
        try:
            with urllib.request.urlopen(req) as r:
                return r.status, json.loads(r.read() or b"null")
        except urllib.error.HTTPError as e:
            return e.code, e.read().decode()

    def must(self, method, route, body):
        status, reply = self.request(method, route, body)
        if status != 200:
            raise SystemExit(f"{method} {route}: {status} {reply}")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        self.proc.wait(timeout=30)


def follow_clock(url, published, stop):
    """Notes each clock value of the event stream in order (a value once per change)."""
    while not stop.is_set():
        try:
            with urllib.request.urlopen(url + "/api/ui/state/stream", timeout=5) as stream:
                for raw in stream:
                    if stop.is_set():
                        return
                    line = raw.decode().strip()
                    if not line.startswith("data:"):
                        continue
                    state = json.loads(line[5:])
                    clock = state.get("clock")
                    if isinstance(clock, dict):
                        clock = clock.get("display") or clock.get("text") or clock.get("value")
                    if not published or published[-1] != clock:
                        published.append(clock)
        except (OSError, ValueError):
            time.sleep(0.2)  # 503 while no source gives values yet; try again


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("program")
    ap.add_argument("--font", default="DSEG7Classic-Regular.ttf")
    ap.add_argument("--rate", default="4M")
    ap.add_argument("--keep")
    args = ap.parse_args()

    work = tempfile.mkdtemp()
    try:
        expected, box = draw_frames(work, args.font)
        clip = encode(work, args.rate)
        program = Program(os.path.abspath(args.program), work)
        try:
            port = free_udp_port()
            for method, route, body in [
                    ("PUT", "/api/source", {"type": "srt", "id": "srt"}),
                    ("PUT", "/api/source/srt", {"bind_address": "127.0.0.1", "port": port}),
                    ("POST", "/api/source/srt/listening", {"listening": True})]:
                program.must(method, route, body)
            published, stop = [], threading.Event()
            follower = threading.Thread(target=follow_clock, args=(program.url, published, stop), daemon=True)
            follower.start()
            sender = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-re", "-i", clip, "-c", "copy", "-f",
                                       "mpegts", f"srt://127.0.0.1:{port}?mode=caller&latency=200000&pkt_size=1316"])
            # The zone is drawn on the first picture, as an operator would: its processing is
            # estimated from what it shows.
            deadline = time.time() + LEAD_S - 1
            while program.request("GET", "/api/status")[1]["srt"]["frames_published"] == 0:
                if time.time() > deadline:
                    raise SystemExit("no picture came over SRT")
                time.sleep(0.1)
            program.must("POST", "/api/zones", {"id": "clock", "role": "clock", "x": box[0], "y": box[1],
                                                "width": box[2], "height": box[3]})
            if sender.wait() != 0:
                raise SystemExit("ffmpeg could not send the clip")
            time.sleep(2)  # the last pictures still in the listener's latency window
            stop.set()
            status = program.request("GET", "/api/status")
        finally:
            program.stop()
        values = [v for v in published if v not in (None, "")]
        wanted = set(expected)
        wrong = [v for v in values if v not in wanted]
        right = [v for v in expected if v in values]
        missing = [v for v in expected if v not in values]
        print(f"program {args.program} font {args.font} rate {args.rate}")
        print(f"right {len(right)} / {len(expected)}, wrong {len(wrong)}, missing {len(missing)}")
        print("wrong:", " ".join(map(str, wrong)) or "-")
        print("missing:", " ".join(missing) or "-")
        if args.keep:
            os.makedirs(args.keep, exist_ok=True)
            with open(os.path.join(args.keep, "published.json"), "w") as f:
                json.dump({"published": published, "status": status}, f, indent=1)
    finally:
        if args.keep:
            shutil.copy(os.path.join(work, "program.log"), os.path.join(args.keep, "program.log"))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
