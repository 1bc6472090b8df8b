#!/usr/bin/python3
"""The same dump as loggerdump, written the way a user of pyserial would:
open the port, write each command, readline until the block's record lines
have come, write logger.hex and logger.bin. Used as the comparison baseline.

usage: pyserial_dump.py PORT
"""
import sys

import serial


def main():
    port = serial.Serial(sys.argv[1], 19200, timeout=0.505)
    with open("logger.hex", "wb") as hex_file, open("logger.bin", "wb") as bin_file:
        for address in range(0, 0x40000, 0x100):
            port.write(b"dihex %05x\r\n" % address)
            wanted = 16 if address < 0x10000 else 32
            accepted = 0
            while accepted < wanted:
                line = port.readline()
                if not line.startswith(b":"):
                    continue
                hex_file.write(line)
                length = int(line[1:3], 16)
                if line[7:9] == b"00" and length > 0:
                    bin_file.write(bytes.fromhex(line[9 : 9 + 2 * length].decode())[:16])
                accepted += 1
    port.write(b"q\n\r")
    port.close()


if __name__ == "__main__":
    main()
