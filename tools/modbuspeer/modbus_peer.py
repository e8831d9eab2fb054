#!/usr/bin/python3
"""A Modbus server that tests and the demo talk to, independent of the project's own driver.

It serves Modbus TCP on 127.0.0.1, or Modbus RTU / ASCII on a serial device (one end of a
pseudo-terminal pair in the tests), with one table of holding registers, input registers, coils
and discrete inputs per served unit. Protocol address N is table index N; requests past the end
of a table get exception 2 (illegal data address); requests to a unit that is not served get no
answer at all.

Once it listens it prints one line "READY <port-or-path>" on standard output. Then it reads
commands on standard input, one a line, and answers each with one line:

    set <unit> <h|i|c|d> <addr> <v1> <v2> ...   -> OK
    get <unit> <h|i|c|d> <addr> <count>         -> OK v1 v2 ...
    quit                                        -> OK (and the server ends)

(h holding registers, i input registers, c coils, d discrete inputs.) Anything wrong is answered
with "ERR <reason>".

Faults, for the tests of how a client copes with a misbehaving device:

    delay <ms> [<n>]              -> OK   the next n answers (default 1) go out ms late, and
                                          the answers after them wait their turn
    dup [<n>]                     -> OK   the next n answers go out twice, back to back
    stray <hex>                   -> OK   writes these bytes at once on every open line
    silent <unit> <0|1>           -> OK   the unit does not answer while 1
    hole <unit> <table> <addr> <count>  -> OK  requests touching these addresses get exception 2
    refuse <function>             -> OK   the function is answered with exception 1
    seen <function>               -> OK n  requests of that function served since the start
    connections                   -> OK n  TCP connections accepted since the start
    clear                         -> OK   no more faults (holes and refusals included) The server ends when standard input closes, so it never outlives the
program that started it, on "quit", and on SIGTERM or SIGINT.

--moving makes a few values change every second, for the demo: holding registers 0..3 hold a
ramp, a signed sine, a counter and an unsigned value above 32767; registers 4..5 a float (high
word first) and 6..7 another float (low word first); input registers 0..1, coil 0 and discrete
input 0 change too.
"""

import argparse
import asyncio
import logging
import math
import os
import signal
import struct
import sys
import threading
import time

from pymodbus.datastore import (
    ModbusSequentialDataBlock,
    ModbusServerContext,
    ModbusSlaveContext,
)
from pymodbus.server.async_io import (
    ModbusBaseRequestHandler,
    ModbusConnectedRequestHandler,
    ModbusSerialServer,
    ModbusTcpServer,
)
from pymodbus.transaction import ModbusAsciiFramer, ModbusRtuFramer, ModbusSocketFramer

TABLES = {"h": "hr", "i": "ir", "c": "co", "d": "di"}
BIT_TABLES = ("c", "d")


class RobustAsciiFramer(ModbusAsciiFramer):
    """ASCII framing that drops a frame with a wrong LRC, bad hex or an unserved unit.

    The stock framer leaves a frame whose check fails at the head of its buffer, so one damaged
    frame would block every later request; here the damaged frame is discarded and framing goes
    on with whatever follows it.
    """

    def _drop_through(self, end):
        self._buffer = self._buffer[end + 2 :]
        self._header = {"lrc": "0000", "len": 0, "uid": 0x00}

    def processIncomingPacket(self, data, callback, unit, **kwargs):  # noqa: N802
        if not isinstance(unit, (list, tuple)):
            unit = [unit]
        single = kwargs.get("single", False)
        self.addToFrame(data)
        while True:
            start = self._buffer.find(b":")
            if start == -1:
                self._buffer = b""
                return
            end = self._buffer.find(b"\r\n", start)
            if end == -1:
                self._buffer = self._buffer[start:]
                return
            # A frame broken off and started again: keep the last start before the end.
            start = self._buffer.rfind(b":", start, end)
            self._buffer = self._buffer[start:]
            end -= start
            try:
                good = self.checkFrame()
            except (ValueError, TypeError):
                good = False
            if not good or not self._validate_unit_id(unit, single):
                self._drop_through(end)
                continue
            result = self.decoder.decode(self.getFrame())
            if result is None:
                self._drop_through(end)
                continue
            self.populateResult(result)
            self.advanceFrame()
            callback(result)


# Which table a request of each function code touches.
FUNCTION_TABLES = {1: "c", 2: "d", 3: "h", 4: "i", 5: "c", 6: "h", 15: "c", 16: "h", 22: "h"}


class Faults:
    """The faults the server is told to inject; touched only on the event loop's thread."""

    def __init__(self):
        self.handlers = []
        self.connections = 0
        self.seen = {}
        self.clear()

    def clear(self):
        self.delay_ms = 0
        self.delay_left = 0
        self.dup_left = 0
        self.silent = set()
        self.holes = []  # (unit, table, first, last)
        self.refused = set()

    def refusal(self, request):
        """The exception code a request is to be answered with, or None."""
        function = request.function_code
        if function in self.refused:
            return 1
        table = FUNCTION_TABLES.get(function)
        if table is None:
            return None
        first = getattr(request, "address", 0)
        last = first + max(getattr(request, "count", 1), 1) - 1
        for unit, hole_table, hole_first, hole_last in self.holes:
            if unit == request.unit_id and table == hole_table:
                if first <= hole_last and hole_first <= last:
                    return 2
        return None


FAULTS = Faults()
_plain_execute = ModbusBaseRequestHandler.execute
_plain_send = ModbusBaseRequestHandler.send
_plain_connection_made = ModbusBaseRequestHandler.connection_made


def faulty_connection_made(self, transport):
    _plain_connection_made(self, transport)
    FAULTS.handlers = [h for h in FAULTS.handlers if h.transport is not None] + [self]
    if isinstance(self, ModbusConnectedRequestHandler):
        FAULTS.connections += 1


def faulty_execute(self, request, *addr):
    function = request.function_code
    FAULTS.seen[function] = FAULTS.seen.get(function, 0) + 1
    unit = request.unit_id
    if unit in FAULTS.silent or unit not in self.server.context.slaves():
        return
    code = FAULTS.refusal(request)
    if code is None:
        _plain_execute(self, request, *addr)
        return
    response = request.doException(code)
    response.transaction_id = request.transaction_id
    response.unit_id = unit
    self.send(response, *addr)


def faulty_send(self, message, *addr, **kwargs):
    copies = 1
    if FAULTS.dup_left > 0:
        FAULTS.dup_left -= 1
        copies = 2
    delay_ms = 0
    if FAULTS.delay_left > 0:
        FAULTS.delay_left -= 1
        delay_ms = FAULTS.delay_ms

    def go():
        for _ in range(copies):
            if self.transport is None:
                return
            _plain_send(self, message, *addr, **kwargs)

    # Answers leave in order, as from a device that serves one request at a time: an answer
    # held back also holds back the answers after it.
    loop = asyncio.get_running_loop()
    now = loop.time()
    at = max(now + delay_ms / 1000.0, getattr(self, "talvek_not_before", 0.0))
    self.talvek_not_before = at
    if at > now:
        loop.call_at(at, go)
    else:
        go()


ModbusBaseRequestHandler.connection_made = faulty_connection_made
ModbusBaseRequestHandler.execute = faulty_execute
ModbusBaseRequestHandler.send = faulty_send


def run_fault_command(verb, words):
    """Carries out one fault command; returns the text after "OK"."""
    numbers = [int(w, 0) for w in words[1:]] if verb not in ("stray", "hole") else []
    if verb == "delay":
        if not 1 <= len(numbers) <= 2 or numbers[0] < 0:
            raise ValueError("delay takes milliseconds and an optional count")
        FAULTS.delay_ms = numbers[0]
        FAULTS.delay_left = numbers[1] if len(numbers) == 2 else 1
    elif verb == "dup":
        if len(numbers) > 1:
            raise ValueError("dup takes an optional count")
        FAULTS.dup_left = numbers[0] if numbers else 1
    elif verb == "stray":
        if len(words) != 2:
            raise ValueError("stray takes one hex string")
        data = bytes.fromhex(words[1])
        for handler in FAULTS.handlers:
            if handler.transport is not None:
                handler.transport.write(data)
    elif verb == "silent":
        if len(numbers) != 2:
            raise ValueError("silent takes a unit and 0 or 1")
        if numbers[1]:
            FAULTS.silent.add(numbers[0])
        else:
            FAULTS.silent.discard(numbers[0])
    elif verb == "hole":
        if len(words) != 5 or words[2].lower() not in TABLES:
            raise ValueError("hole takes a unit, a table, an address and a count")
        unit, addr, count = int(words[1], 0), int(words[3], 0), int(words[4], 0)
        if count < 1:
            raise ValueError("hole count below 1")
        FAULTS.holes.append((unit, words[2].lower(), addr, addr + count - 1))
    elif verb == "refuse":
        if len(numbers) != 1:
            raise ValueError("refuse takes a function code")
        FAULTS.refused.add(numbers[0])
    elif verb == "seen":
        if len(numbers) != 1:
            raise ValueError("seen takes a function code")
        return str(FAULTS.seen.get(numbers[0], 0))
    elif verb == "connections":
        return str(FAULTS.connections)
    elif verb == "clear":
        FAULTS.clear()
    return ""


FAULT_VERBS = ("delay", "dup", "stray", "silent", "hole", "refuse", "seen", "connections", "clear")


def parse_units(text):
    units = []
    for part in text.split(","):
        part = part.strip()
        if not part:
            continue
        value = int(part, 0)
        if not 1 <= value <= 247:
            raise argparse.ArgumentTypeError(f"unit {value} outside 1..247")
        units.append(value)
    if not units:
        raise argparse.ArgumentTypeError("no unit given")
    return units


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Modbus server for tests and the demo")
    where = parser.add_mutually_exclusive_group(required=True)
    where.add_argument("--tcp", type=int, metavar="PORT", help="serve TCP on 127.0.0.1 (0 = any)")
    where.add_argument("--rtu", metavar="DEVICE", help="serve RTU on a serial device")
    where.add_argument("--ascii", metavar="DEVICE", help="serve ASCII on a serial device")
    parser.add_argument("--baud", type=int, default=9600, help="serial speed (8N1), default 9600")
    parser.add_argument("--units", type=parse_units, default=[1], help="unit ids, e.g. 1,2")
    parser.add_argument("--size", type=int, default=10000, help="entries per table")
    parser.add_argument("--moving", action="store_true", help="change a few values every second")
    parser.add_argument("--verbose", action="store_true", help="log every frame on stderr")
    args = parser.parse_args(argv)
    if not 1 <= args.size <= 65536:
        parser.error("--size must be 1..65536")
    if args.tcp is not None and not 0 <= args.tcp <= 65535:
        parser.error("--tcp must be 0..65535")
    return args


def make_context(units, size):
    slaves = {}
    for unit in units:
        slaves[unit] = ModbusSlaveContext(
            di=ModbusSequentialDataBlock(0, [False] * size),
            co=ModbusSequentialDataBlock(0, [False] * size),
            hr=ModbusSequentialDataBlock(0, [0] * size),
            ir=ModbusSequentialDataBlock(0, [0] * size),
            zero_mode=True,
        )
    return ModbusServerContext(slaves=slaves, single=False)


class Tables:
    """Direct access to the served tables by unit, table letter and protocol address."""

    def __init__(self, context, units, size):
        self.context = context
        self.units = units
        self.size = size

    def _block(self, unit, table):
        return self.context[unit].store[table]

    def _check(self, unit, table, addr, count):
        if unit not in self.units:
            raise ValueError(f"unit {unit} not served")
        if table not in TABLES:
            raise ValueError(f"unknown table {table}")
        if count < 1 or addr < 0 or addr + count > self.size:
            raise ValueError(f"addresses {addr}..{addr + count - 1} outside 0..{self.size - 1}")

    def set(self, unit, table, addr, values):
        self._check(unit, table, addr, len(values))
        if table in BIT_TABLES:
            for v in values:
                if v not in (0, 1):
                    raise ValueError(f"bit value {v} not 0 or 1")
            stored = [bool(v) for v in values]
        else:
            for v in values:
                if not -32768 <= v <= 65535:
                    raise ValueError(f"register value {v} outside -32768..65535")
            stored = [v & 0xFFFF for v in values]
        self._block(unit, table).setValues(addr, stored)

    def get(self, unit, table, addr, count):
        self._check(unit, table, addr, count)
        values = self._block(unit, table).getValues(addr, count)
        return [int(bool(v)) if table in BIT_TABLES else int(v) for v in values]

    def put_if_room(self, unit, table, addr, values):
        """Writes values that fit the table; used by the moving values."""
        if addr + len(values) <= self.size:
            self._block(unit, table).setValues(addr, values)


def float_words(value, high_first):
    high, low = struct.unpack(">HH", struct.pack(">f", value))
    return [high, low] if high_first else [low, high]


def move_values(tables, tick):
    ramp = tick % 100
    sine = math.sin(2 * math.pi * tick / 20)
    temperature = 25.0 + 5.0 * sine
    for unit in tables.units:
        tables.put_if_room(
            unit,
            "h",
            0,
            [ramp, int(round(1000 * sine)) & 0xFFFF, tick & 0xFFFF, 40000 + tick % 1000]
            + float_words(temperature, True)
            + float_words(temperature * 2, False),
        )
        tables.put_if_room(unit, "i", 0, [(tick * 3) & 0xFFFF, 500 + ramp])
        tables.put_if_room(unit, "c", 0, [tick % 2 == 1])
        tables.put_if_room(unit, "d", 0, [(tick // 2) % 2 == 1])


async def keep_moving(tables):
    start = time.monotonic()
    tick = 0
    while True:
        move_values(tables, tick)
        tick += 1
        await asyncio.sleep(max(0.0, start + tick - time.monotonic()))


def run_command(tables, line):
    """Carries out one command line; returns (answer line, whether to stop)."""
    words = line.split()
    if not words:
        return "ERR empty command", False
    verb = words[0].lower()
    if verb == "quit":
        return "OK", True
    if verb in FAULT_VERBS:
        try:
            rest = run_fault_command(verb, words)
        except ValueError as exc:
            return f"ERR {exc}", False
        return ("OK " + rest if rest else "OK"), False
    if verb not in ("set", "get"):
        return f"ERR unknown command {words[0]}", False
    try:
        if len(words) < 5:
            raise ValueError(f"{verb} needs unit, table, address and values")
        unit = int(words[1], 0)
        table = words[2].lower()
        addr = int(words[3], 0)
        numbers = [int(w, 0) for w in words[4:]]
        if verb == "set":
            tables.set(unit, table, addr, numbers)
            return "OK", False
        if len(numbers) != 1:
            raise ValueError("get takes one count")
        values = tables.get(unit, table, addr, numbers[0])
        return "OK " + " ".join(str(v) for v in values), False
    except ValueError as exc:
        return f"ERR {exc}", False


def read_commands(loop, tables, stop):
    """Reads commands from standard input (on its own thread) and answers them in order.

    The tables are touched only on the event loop's thread, so a command never races a request
    being served. The descriptor is read directly so that no buffered-reader lock is held by
    this thread while the interpreter ends.
    """

    async def on_loop(line):
        return run_command(tables, line)

    pending = b""
    while True:
        try:
            chunk = os.read(0, 4096)
        except OSError:
            chunk = b""
        if not chunk:
            break
        pending += chunk
        while b"\n" in pending:
            raw, pending = pending.split(b"\n", 1)
            line = raw.decode("utf-8", "replace").strip()
            try:
                answer, quit_now = asyncio.run_coroutine_threadsafe(on_loop(line), loop).result()
            except Exception:  # the loop has ended
                return
            sys.stdout.write(answer + "\n")
            sys.stdout.flush()
            if quit_now:
                loop.call_soon_threadsafe(stop.set)
                return
    loop.call_soon_threadsafe(stop.set)


async def start_server(args, context):
    """Starts serving; returns (server, serving task or None, text for the READY line)."""
    if args.tcp is not None:
        server = ModbusTcpServer(
            context,
            framer=ModbusSocketFramer,
            address=("127.0.0.1", args.tcp),
            allow_reuse_address=True,
            ignore_missing_slaves=True,
        )
        task = asyncio.create_task(server.serve_forever())
        done, _ = await asyncio.wait({task, server.serving}, return_when=asyncio.FIRST_COMPLETED)
        if task in done:
            task.result()  # raises the reason it could not listen
            raise OSError("the TCP server ended at once")
        port = server.server.sockets[0].getsockname()[1]
        return server, task, str(port)
    device = args.rtu or args.ascii
    framer = ModbusRtuFramer if args.rtu else RobustAsciiFramer
    server = ModbusSerialServer(
        context,
        framer=framer,
        port=device,
        baudrate=args.baud,
        bytesize=8,
        parity="N",
        stopbits=1,
        ignore_missing_slaves=True,
    )
    await server.start()
    if server.transport is None:
        raise OSError(f"cannot open {device}")
    return server, None, device


async def serve(args):
    loop = asyncio.get_running_loop()
    stop = asyncio.Event()
    for sig in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(sig, stop.set)
    context = make_context(args.units, args.size)
    tables = Tables(context, args.units, args.size)
    try:
        server, task, where = await start_server(args, context)
    except Exception as exc:  # noqa: BLE001 - any failure to listen ends the program
        print(f"modbus_peer: {exc}", file=sys.stderr, flush=True)
        return 1
    mover = asyncio.create_task(keep_moving(tables)) if args.moving else None
    sys.stdout.write(f"READY {where}\n")
    sys.stdout.flush()
    threading.Thread(target=read_commands, args=(loop, tables, stop), daemon=True).start()
    await stop.wait()
    if mover:
        mover.cancel()
    await server.shutdown()
    if task:
        task.cancel()
    return 0


def main(argv):
    args = parse_args(argv)
    # The library configures the root logger when it is imported; this replaces that.
    logging.basicConfig(
        force=True,
        stream=sys.stderr,
        level=logging.DEBUG if args.verbose else logging.CRITICAL,
        format="modbus_peer %(levelname)s %(message)s",
    )
    return asyncio.run(serve(args))


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
