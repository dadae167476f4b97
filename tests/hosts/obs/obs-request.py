#!/usr/bin/python3
# One request to OBS Studio through obs-websocket (protocol 5) on the
# loopback: prints the response's status and data as one line of JSON.
#
#   obs-request.py PORT REQUEST_TYPE [REQUEST_DATA_JSON] [--image PATH]
#
# --image writes the response's imageData (a data: URL, as
# GetSourceScreenshot gives it) to PATH, decoded. Exits 2 when OBS cannot be
# reached or answers with something else than the response, 1 when the
# request failed, 0 otherwise.
import base64
import json
import sys

import websocket


def main():
    args = sys.argv[1:]
    image = None
    if "--image" in args:
        at = args.index("--image")
        image = args[at + 1]
        del args[at:at + 2]
    if len(args) < 2:
        print("usage: obs-request.py PORT REQUEST_TYPE [JSON] [--image PATH]", file=sys.stderr)
        return 2
    port, request_type = args[0], args[1]
    data = json.loads(args[2]) if len(args) > 2 else {}
    try:
        ws = websocket.create_connection("ws://127.0.0.1:%s" % port, timeout=20)
        hello = json.loads(ws.recv())
        if hello.get("op") != 0:
            raise RuntimeError("no Hello: %r" % hello)
        ws.send(json.dumps({"op": 1, "d": {"rpcVersion": 1}}))
        if json.loads(ws.recv()).get("op") != 2:
            raise RuntimeError("not identified")
        ws.send(json.dumps({"op": 6, "d": {"requestType": request_type, "requestId": "1",
                                           "requestData": data}}))
        while True:
            message = json.loads(ws.recv())
            if message.get("op") == 7:
                break
        ws.close()
    except Exception as error:  # OBS not up yet, or gone
        print("no answer: %s" % error, file=sys.stderr)
        return 2
    answer = message["d"]
    response = answer.get("responseData", {})
    if image and "imageData" in response:
        encoded = response["imageData"].split(",", 1)[1]
        with open(image, "wb") as out:
            out.write(base64.b64decode(encoded))
        response["imageData"] = "written to %s" % image
    print(json.dumps({"status": answer["requestStatus"], "data": response}))
    return 0 if answer["requestStatus"].get("result") else 1


sys.exit(main())
