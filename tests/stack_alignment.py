#!/usr/bin/env python3
"""stack_alignment.py OBJDUMP PROGRAM.exe

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
"""
import re
import subprocess
import sys

ALIGNED_MOVE = re.compile(
    r"^v?(movdqa(32|64)?|movap[sd]|movntdqa?|movntp[sd])$")
REGISTER_BYTES = {"xmm": 16, "ymm": 32, "zmm": 64}
FUNCTION = re.compile(r"^[0-9a-f]+ <(.*)>:$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(\S+)\s*(.*)$")
REALIGN = re.compile(r"^and[lq]?$")


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    objdump, program = sys.argv[1], sys.argv[2]
    disassembly = subprocess.run(
        [objdump, "-d", "--no-show-raw-insn", program],
        check=True, capture_output=True, text=True).stdout
    is_64_bit = "file format pei-x86-64" in disassembly
    if not is_64_bit and "file format pei-i386" not in disassembly:
        sys.exit(f"{program}: not a 32-bit or 64-bit x86 Windows program")

    function = "?"
    realigned = 0
    functions = moves = vector_instructions = 0
    faults = []
    for line in disassembly.splitlines():
        match = FUNCTION.match(line)
        if match:
            function, realigned = match.group(1), 0
            functions += 1
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
            vector_instructions += 1
        if not ALIGNED_MOVE.match(mnemonic) or not registers:
            continue
        moves += 1
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
            faults.append(f"  {function} at 0x{address}: {mnemonic} {operands} "
                          f"({size}-byte aligned move, %{register} is sure of {sure} bytes)")

    print(f"{program}: {functions} functions, {vector_instructions} vector instructions, "
          f"{moves} aligned vector moves")
    if functions == 0:
        sys.exit(f"{program}: nothing disassembled")
    if faults:
        print("Aligned vector moves off the stack that Windows may not align (they fault there, "
              "not under wine):")
        print("\n".join(faults))
        sys.exit(1)
    print("none addressed off the stack or frame pointer beyond its alignment")


if __name__ == "__main__":
    main()
