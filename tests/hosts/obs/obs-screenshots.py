#!/usr/bin/python3
# Screenshots of one source of OBS Studio through obs-websocket (protocol 5)
# on the loopback, back to back over one connection, each timed on the
# stamps' clock (CLOCK_MONOTONIC):
#
#   obs-screenshots.py PORT SOURCE SECONDS INTERVAL_MS WIDTH HEIGHT FOLDER
#
# Writes FOLDER/shot-N.png and prints a line "N SENT_NS ANSWERED_NS" for each:
# when the request went out and when its answer came. OBS renders the source
# for the screenshot in between. Exits 2 when OBS cannot be reached, 1 when a
# screenshot failed, 0 otherwise.
import base64
import json
import sys
import time

import websocket


def main():
    if len(sys.argv) != 8:
        print("usage: obs-screenshots.py PORT SOURCE SECONDS INTERVAL_MS WIDTH HEIGHT FOLDER",
              file=sys.stderr)
        return 2
    port, source, seconds, interval, width, height, folder = sys.argv[1:]
    seconds, interval = float(seconds), float(interval) / 1000
    try:
        ws = websocket.create_connection("ws://127.0.0.1:%s" % port, timeout=20)
        if json.loads(ws.recv()).get("op") != 0:
            raise RuntimeError("no Hello")
        ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1}}))
        if json.loads(ws.recv()).get("op") != 2:
            raise RuntimeError("not identified")
    except Exception as error:  # OBS not up, or gone
        print("no answer: %s" % error, file=sys.stderr)
        return 2
    end = time.monotonic() + seconds
    count = 0
    while time.monotonic() < end:
        count += 1
        request = {"sourceName": source, "imageFormat": "png", "imageWidth": int(width),
                   "imageHeight": int(height)}
        sent = time.monotonic_ns()
        ws.send(json.dumps({"op": 6, "d": {"requestType": "GetSourceScreenshot",
                                           "requestId": str(count), "requestData": request}}))
        while True:
            message = json.loads(ws.recv())
            if message.get("op") == 7:
                break
        answered = time.monotonic_ns()
        answer = message["d"]
        if not answer["requestStatus"].get("result"):
            print("failed: %s" % json.dumps(answer["requestStatus"]), file=sys.stderr)
            return 1
        encoded = answer["responseData"]["imageData"].split(",", 1)[1]
        with open("%s/shot-%d.png" % (folder, count), "wb") as out:
            out.write(base64.b64decode(encoded))
        print("%d %d %d" % (count, sent, answered), flush=True)
        pause = interval - (time.monotonic_ns() - sent) / 1e9
        if pause > 0:
            time.sleep(pause)
    ws.close()
    return 0


sys.exit(main())
