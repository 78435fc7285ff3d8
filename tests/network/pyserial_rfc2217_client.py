#!/usr/bin/env python3
"""pyserial's rfc2217:// client, driven line by line for the Com Port Control tests.

Each command on standard input gets one line on standard output: "ok", "data HEX" or
"error NAME TEXT".
  open URL BAUD BITS PARITY STOP   set BAUD BITS PARITY STOP   dtr 0|1   rts 0|1   break
  write HEX   read COUNT   close
  tty PATH: a local tty's settings as its driver holds them, "tty BAUD BITS PARITY STOP" (not
            its modem lines: a second open of a tty raises DTR and RTS)
  modem: the modem inputs the client reports, "modem CTS DSR RI CD"
  inputs PATH: a local tty's modem inputs, "inputs CTS DSR RI CD"
"""
import fcntl
import os
import struct
import sys
import termios

import serial


def stop_bits(text):
    return float(text) if "." in text else int(text)


def describe_tty(path):
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        attributes = termios.tcgetattr(fd)
        cflag, speed = attributes[2], attributes[5]
    finally:
        os.close(fd)
    baud = next(name[1:] for name in dir(termios)
                if name[0] == "B" and name[1:].isdigit() and getattr(termios, name) == speed)
    bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
    cmspar = 0o10000000000
    parity = "N"
    if cflag & termios.PARENB:
        parity = ("M" if cflag & termios.PARODD else "S") if cflag & cmspar else (
            "O" if cflag & termios.PARODD else "E")
    stop = 2 if cflag & termios.CSTOPB else 1
    return "tty %s %d %s %d" % (baud, bits, parity, stop)


def tty_inputs(path):
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY)
    try:
        lines = struct.unpack("I", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("I", 0)))[0]
    finally:
        os.close(fd)
    return "inputs %d %d %d %d" % tuple(bool(lines & bit) for bit in (
        termios.TIOCM_CTS, termios.TIOCM_DSR, termios.TIOCM_RI, termios.TIOCM_CD))


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
        elif command == "modem":
            print("modem %d %d %d %d" % (port.cts, port.dsr, port.ri, port.cd), flush=True)
            continue
        elif command == "inputs":
            print(tty_inputs(words[1]), flush=True)
            continue
        elif command == "tty":
            print(describe_tty(words[1]), flush=True)
            continue
        print("ok", flush=True)
    except Exception as error:  # the test shows what went wrong
        print("error", type(error).__name__, str(error).replace("\n", " "), flush=True)
