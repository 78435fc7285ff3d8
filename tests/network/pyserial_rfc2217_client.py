#!/usr/bin/env python3
"""pyserial's rfc2217:// client, driven line by line for the Com Port Control tests.

Each command on standard input gets one line on standard output: "ok", "data HEX" or
"error NAME TEXT".
  open URL BAUD BITS PARITY STOP   set BAUD BITS PARITY STOP   dtr 0|1   rts 0|1   break
  write HEX   read COUNT   close
"""
import sys

import serial


def stop_bits(text):
    return float(text) if "." in text else int(text)


port = None
for line in sys.stdin:
    words = line.split()
    if not words:
        continue
    try:
        command = words[0]
        if command == "open":
            port = serial.serial_for_url(words[1], baudrate=int(words[2]), bytesize=int(words[3]),
                                         parity=words[4], stopbits=stop_bits(words[5]), timeout=5)
        elif command == "set":
            port.baudrate = int(words[1])
            port.bytesize = int(words[2])
            port.parity = words[3]
            port.stopbits = stop_bits(words[4])
        elif command == "dtr":
            port.dtr = words[1] == "1"
        elif command == "rts":
            port.rts = words[1] == "1"
        elif command == "break":
            port.send_break(0.05)
        elif command == "write":
            port.write(bytes.fromhex(words[1]))
            port.flush()
        elif command == "read":
            print("data", port.read(int(words[1])).hex(), flush=True)
            continue
        elif command == "close":
            port.close()
        print("ok", flush=True)
    except Exception as error:  # the test shows what went wrong
        print("error", type(error).__name__, str(error).replace("\n", " "), flush=True)
