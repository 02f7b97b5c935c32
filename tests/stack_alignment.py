#!/usr/bin/env python3
"""stack_alignment.py OBJDUMP PROGRAM.exe
stack_alignment.py --self-test OBJDUMP

Fails when the Windows program holds an aligned vector move (movdqa, movaps,
movapd, their VEX and EVEX forms, and the non-temporal moves) addressed off
the stack or frame pointer for more bytes than that pointer is sure to be
aligned to. Such a move faults on Windows whenever the frame lands on a
lesser boundary, while wine, whose stacks happen to be aligned more, runs it.

What a pointer is sure to be aligned to:
- the 64-bit stack and frame pointers, 16 bytes: the x64 ABI keeps the stack
  so, and GCC puts its frame pointer at a multiple of 16 from it. mingw-w64's
  GCC cannot realign a frame further (GCC bug 54412), so a 32-byte (ymm)
  spill is safe only when the compiler makes it an unaligned move;
- the 32-bit stack pointer, 4 bytes, all that 32-bit Windows promises,
  unless the function realigned it itself (and $-N,%esp: N bytes); the
  32-bit frame pointer, 4 bytes, as it points into the caller's frame.

The guard reads objdump's text, so a new objdump that prints instructions
differently could leave it reading nothing and passing everything.
--self-test disassembles a few instruction sequences with the OBJDUMP given
and requires each aligned move in them to be seen and judged as expected;
a program under test must also show at least one vector instruction.
"""
import os
import re
import subprocess
import sys
import tempfile

ALIGNED_MOVE = re.compile(
    r"^v?(movdqa(32|64)?|movap[sd]|movntdqa?|movntp[sd])$")
REGISTER_BYTES = {"xmm": 16, "ymm": 32, "zmm": 64}
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
REALIGN = re.compile(r"^and[lq]?$")

# Machine code the self-test disassembles: (what, objdump machine, bytes,
# aligned moves the scan must see, of them faults it must report).
SELF_TEST_SAMPLES = [
    ("64-bit, passes: a 16-byte spill off %rsp, a 32-byte one unaligned", "i386:x86-64",
     "0f 29 44 24 10"      # movaps  %xmm0,0x10(%rsp)
     " c5 fc 11 44 24 20",  # vmovups %ymm0,0x20(%rsp)
     1, 0),
    ("64-bit, rejected: a 32-byte aligned spill off %rsp", "i386:x86-64",
     "0f 29 44 24 10"       # movaps  %xmm0,0x10(%rsp)
     " c5 fc 29 44 24 20",  # vmovaps %ymm0,0x20(%rsp)
     2, 1),
    ("32-bit, passes: a 16-byte spill off a stack the function realigned", "i386",
     "83 e4 f0"             # and     $0xfffffff0,%esp
     " 0f 29 04 24",        # movaps  %xmm0,(%esp)
     1, 0),
    ("32-bit, rejected: a 16-byte spill off the frame pointer", "i386",
     "83 e4 f0"             # and     $0xfffffff0,%esp
     " 0f 29 04 24"         # movaps  %xmm0,(%esp)
     " 66 0f 7f 45 f0",     # movdqa  %xmm0,-0x10(%ebp)
     2, 1),
]


class Scan:
    def __init__(self):
        self.functions = 0
        self.vector_instructions = 0
        self.moves = 0
        self.faults = []


def scan(disassembly):
    """Reads objdump -d output; returns what it holds and the faulting moves."""
    result = Scan()
    function = "?"
    realigned = 0
    for line in disassembly.splitlines():
        match = FUNCTION.match(line)
        if match:
            function, realigned = match.group(1), 0
            result.functions += 1
            continue
        match = INSTRUCTION.match(line)
        if not match:
            continue
        address, mnemonic, operands = match.groups()
        operands = operands.split("#")[0].strip()
        if REALIGN.match(mnemonic):
            mask = re.match(r"^\$(0x[0-9a-f]+|-?\d+),%[re]sp$", operands)
            if mask:
                value = int(mask.group(1), 0) & 0xFFFFFFFF
                realigned = value & -value if value else 0
            continue
        registers = re.findall(r"%([xyz]mm)\d+", operands)
        if registers:
            result.vector_instructions += 1
        if not ALIGNED_MOVE.match(mnemonic) or not registers:
            continue
        result.moves += 1
        base = re.search(r"\(%([re](sp|bp))", operands)
        if not base:
            continue
        register = base.group(1)
        if register in ("rsp", "rbp"):
            sure = 16 if register == "rbp" else max(16, realigned)
        else:
            sure = max(4, realigned) if register == "esp" else 4
        size = max(REGISTER_BYTES[name] for name in registers)
        if size > sure:
            result.faults.append(
                f"  {function} at 0x{address}: {mnemonic} {operands} "
                f"({size}-byte aligned move, %{register} is sure of {sure} bytes)")
    return result


def check_program(objdump, program):
    disassembly = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", program],
        check=True, capture_output=True, text=True).stdout
    is_64_bit = "file format pei-x86-64" in disassembly
    if not is_64_bit and "file format pei-i386" not in disassembly:
        sys.exit(f"{program}: not a 32-bit or 64-bit x86 Windows program")
    result = scan(disassembly)
    print(f"{program}: {result.functions} functions, {result.vector_instructions} vector "
          f"instructions, {result.moves} aligned vector moves")
    if result.functions == 0:
        sys.exit(f"{program}: nothing disassembled")
    # Every build of the tool copies and converts with SSE at least; none
    # seen means the lines were not understood, not that there are none.
    if result.vector_instructions == 0:
        sys.exit(f"{program}: no vector instruction recognised in {objdump}'s output")
    if result.faults:
        print("Aligned vector moves off the stack that Windows may not align (they fault there, "
              "not under wine):")
        print("\n".join(result.faults))
        sys.exit(1)
    print("none addressed off the stack or frame pointer beyond its alignment")


def self_test(objdump):
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        code = os.path.join(scratch, "code.bin")
        for what, machine, hex_bytes, moves, faults in SELF_TEST_SAMPLES:
            with open(code, "wb") as out:
                out.write(bytes.fromhex(hex_bytes))
            disassembly = subprocess.run(
                [objdump, "-D", "-b", "binary", "-m", machine, "--no-show-raw-insn", code],
                check=True, capture_output=True, text=True).stdout
            result = scan(disassembly)
            verdict = (f"{result.moves} aligned moves seen, {len(result.faults)} rejected; "
                       f"expected {moves} and {faults}")
            if result.moves == moves and len(result.faults) == faults:
                print(f"ok: {what} ({verdict})")
            else:
                failures += 1
                print(f"FAILED: {what} ({verdict}); {objdump} printed:\n{disassembly}")
    if failures:
        sys.exit(f"{failures} of {len(SELF_TEST_SAMPLES)} samples misjudged: the guard no longer "
                 f"reads {objdump}'s output as it should")


def main():
    if len(sys.argv) == 3 and sys.argv[1] == "--self-test":
        self_test(sys.argv[2])
    elif len(sys.argv) == 3 and not sys.argv[1].startswith("-"):
        check_program(sys.argv[1], sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
