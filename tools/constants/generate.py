#!/usr/bin/env python3
"""Makes the table of the system's integer constants from the toolchain's own headers.

The preprocessor lists the candidates: every object-like macro, and every enumerator
of the headers' enumerations. The compiler then decides which of them are integer
constants (or constant handles such as HKEY_CURRENT_USER) and what their values are:
each candidate is tried on a line of its own, the lines it refuses are dropped, and
the survivors' values are read from the assembly of one array holding them all.

usage: generate.py COMPILER HEADERS OUTPUT [DEPFILE]
Fails (exit 1) when the compiler finds far fewer constants than the headers hold.
"""
import os
import re
import subprocess
import sys
import tempfile

# Far fewer than this means the headers are missing or the compiler could not read them.
MIN_CONSTANTS = 15000
BLOCK = 16             # names per front-coded block
MAX_NAME = 120         # longer names are left out (the look-ups' buffers hold 127)

PRELUDE = r'''
#include <type_traits>
// kind 0: a value of an unsigned type, 1: of a signed type, 2: a handle.
struct TrakxValue { unsigned low, high, kind; };
template <class T, bool E = std::is_enum<T>::value> struct TrakxSigned : std::is_signed<T> {};
template <class T> struct TrakxSigned<T, true> : std::is_signed<std::underlying_type_t<T>> {};
template <class T, std::enable_if_t<std::is_integral<T>::value || std::is_enum<T>::value, int> = 0>
constexpr TrakxValue TrakxInt(T v) {
    return {static_cast<unsigned>(static_cast<unsigned long long>(static_cast<long long>(v))),
            static_cast<unsigned>(static_cast<unsigned long long>(static_cast<long long>(v)) >> 32),
            TrakxSigned<T>::value ? 1u : 0u};
}
template <class T, std::enable_if_t<std::is_pointer<T>::value, int> = 0>
char TrakxIsPointer(T);
'''


def run(cmd, **kw):
    return subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True, **kw)


def fail(message):
    sys.stderr.write('generate.py: ' + message + '\n')
    sys.exit(1)


def macro_candidates(compiler, headers):
    out = run([compiler, '-std=c++17', '-dM', '-E', '-x', 'c++', headers])
    if out.returncode:
        fail('the preprocessor failed on %s:\n%s' % (headers, out.stderr[-3000:]))
    names = set()
    for m in re.finditer(r'^#define ([A-Za-z][A-Za-z0-9_]*) +(\S.*)$', out.stdout, re.M):
        names.add(m.group(1))
    return names


TOKEN = re.compile(r'[A-Za-z_]\w*|\d\w*|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|\S')


def enumerators(compiler, headers):
    """Names of enumerators in unscoped enumerations, read from the preprocessed text."""
    out = run([compiler, '-std=c++17', '-E', '-P', '-x', 'c++', headers])
    if out.returncode:
        fail('the preprocessor failed on %s' % headers)
    tokens = TOKEN.findall(out.stdout)
    names = set()
    i, n = 0, len(tokens)
    while i < n:
        if tokens[i] != 'enum':
            i += 1
            continue
        j = i + 1
        if j < n and tokens[j] in ('class', 'struct'):
            i = j
            continue
        while j < n and tokens[j] not in ('{', ';', '(', ')', ','):
            j += 1
        if j >= n or tokens[j] != '{':
            i = j
            continue
        depth, expect = 0, True
        j += 1
        while j < n:
            t = tokens[j]
            if t in ('(', '[', '{'):
                depth += 1
            elif t in (')', ']'):
                depth -= 1
            elif t == '}':
                if depth == 0:
                    break
                depth -= 1
            elif t == ',' and depth == 0:
                expect = True
                j += 1
                continue
            if expect and depth == 0 and re.match(r'[A-Za-z]\w*$', t):
                names.add(t)
            expect = False
            j += 1
        i = j
    return names


def failing_lines(compiler, headers, source_path, lines, first_line):
    """Compiles the lines after the prelude; answers the indexes (into lines) refused."""
    with open(source_path, 'w') as f:
        f.write('#include "%s"\n' % headers)
        f.write(PRELUDE)
        f.write('#line %d\n' % first_line)
        f.write('\n'.join(lines))
        f.write('\n')
    out = run([compiler, '-std=c++17', '-fsyntax-only', '-fmax-errors=0', '-w', '-fno-diagnostics-show-caret',
               source_path])
    # An error inside a macro's expansion is reported where the headers define it; the
    # notes after it name the line of ours that expanded it.
    bad, in_error = set(), False
    ours = re.compile(r'^%s:(\d+):\d+: (error|note)' % re.escape(source_path))
    for line in out.stderr.splitlines():
        if ': error:' in line or ': fatal error:' in line:
            in_error = True
        elif ': warning:' in line:
            in_error = False
        m = ours.match(line)
        if m and in_error:
            k = int(m.group(1)) - first_line
            if 0 <= k < len(lines):
                bad.add(k)
    if out.returncode and not bad:
        fail('the compiler refused the test file outside its lines:\n' + out.stderr[-3000:])
    return bad


def survivors(compiler, headers, workdir, names, line_of):
    """The names whose line the compiler accepts, dropping refused lines until none is."""
    names = sorted(names)
    path = os.path.join(workdir, 'trakx_constants_test.cpp')
    for _ in range(12):
        bad = failing_lines(compiler, headers, path, [line_of(i, name) for i, name in enumerate(names)], 100000)
        if not bad:
            return names
        names = [name for k, name in enumerate(names) if k not in bad]
    fail('the compiler still refused lines after 12 rounds')


def values_of(compiler, headers, workdir, integers, handles):
    path = os.path.join(workdir, 'trakx_constants_values.cpp')
    rows = ['TrakxInt(%s),' % name for name in integers]
    rows += ['{static_cast<unsigned>((ULONG_PTR)(%s)), 0u, 2u},' % name for name in handles]
    with open(path, 'w') as f:
        f.write('#include "%s"\n' % headers)
        f.write(PRELUDE)
        f.write('extern const TrakxValue trakx_values[] = {\n%s\n};\n' % '\n'.join(rows))
    asm = path[:-4] + '.s'
    out = run([compiler, '-std=c++17', '-O1', '-w', '-S', '-o', asm, path])
    if out.returncode:
        fail('the compiler refused the table of values:\n' + out.stderr[-3000:])
    words, inside = [], False
    with open(asm) as f:
        for line in f:
            line = line.strip()
            if line.endswith(':'):
                inside = line in ('_trakx_values:', 'trakx_values:')
                continue
            if not inside:
                continue
            m = re.match(r'\.(long|space|zero)\s+(-?\d+)', line)
            if not m and line.startswith('.long'):
                words.append(None)  # an address (a text's), not a number: left out
            elif m and m.group(1) == 'long':
                words.append(int(m.group(2)) & 0xFFFFFFFF)
            elif m:
                words.extend([0] * (int(m.group(2)) // 4))
            elif line.startswith('.') and not line.startswith(('.align', '.p2align')):
                inside = False
    names = list(integers) + list(handles)
    if len(words) != 3 * len(names):
        fail('read %d words of values for %d names' % (len(words), len(names)))
    table = {}
    for k, name in enumerate(names):
        if len(name) > MAX_NAME:
            continue
        low, high, kind = words[3 * k:3 * k + 3]
        if None in (low, high, kind):
            continue
        table[name] = (low | high << 32, kind)
    return table


def signed64(bits):
    return bits - (1 << 64) if bits >> 63 else bits


def pair_codes(texts):
    """Byte-pair codes for the names' texts: every byte value no name uses stands for
    a pair of two others, merged greedily by how often the pair occurs."""
    used = set(b for t in texts for b in t)
    free = [c for c in range(1, 256) if c not in used]
    seqs = [list(t) for t in texts]
    pairs = []
    while free:
        counts = {}
        for seq in seqs:
            for a, b in zip(seq, seq[1:]):
                counts[(a, b)] = counts.get((a, b), 0) + 1
        ranked = sorted(counts.items(), key=lambda kv: (-kv[1], kv[0]))
        # Several merges a round, of pairs that share no symbol.
        chosen, touched = [], set()
        for (a, b), n in ranked:
            if n < 3 or len(chosen) == 16 or len(chosen) == len(free):
                break
            if a in touched or b in touched:
                continue
            chosen.append((a, b))
            touched.update((a, b))
        if not chosen:
            break
        codes = {}
        for pair in chosen:
            code = free.pop(0)
            codes[pair] = code
            pairs.append((code, pair))
        for k, seq in enumerate(seqs):
            out, i = [], 0
            while i < len(seq):
                if i + 1 < len(seq) and (seq[i], seq[i + 1]) in codes:
                    out.append(codes[(seq[i], seq[i + 1])])
                    i += 2
                else:
                    out.append(seq[i])
                    i += 1
            seqs[k] = out
    return pairs, seqs


def value_bytes(bits, kind):
    """The value and its kind: the first byte holds the kind (2 bits) and 5 bits, each
    further byte 7 bits; the top bit says another byte follows. Signed values are
    zigzagged so that small negative ones stay short."""
    if kind == 1:
        v = signed64(bits)
        z = (v << 1) ^ (-1 if v < 0 else 0)
        z &= (1 << 64) - 1
    else:
        z = bits
    out = [kind | (z & 31) << 2]
    z >>= 5
    while z:
        out[-1] |= 0x80
        out.append(z & 127)
        z >>= 7
    return out


def emit(table, output):
    names = sorted(table, key=lambda s: s.encode())
    count = len(names)
    if count < MIN_CONSTANTS:
        fail('only %d constants found, at least %d expected: are the system headers installed?' % (count, MIN_CONSTANTS))
    # Each entry: the length shared with the name before (0 at the start of a block),
    # the rest of the name in pair codes, a 0, the value. A block's first name is whole.
    suffixes, shared_of, previous = [], [], b''
    for k, name in enumerate(names):
        raw = name.encode()
        shared = 0
        if k % BLOCK:
            while shared < min(len(raw), len(previous)) and raw[shared] == previous[shared]:
                shared += 1
        shared_of.append(shared)
        suffixes.append(raw[shared:])
        previous = raw
    pairs, coded = pair_codes(suffixes)
    blob, starts = bytearray(), []
    for k, name in enumerate(names):
        if k % BLOCK == 0:
            starts.append(len(blob))
        blob.append(shared_of[k])
        blob += bytes(coded[k]) + b'\0'
        blob += bytes(value_bytes(*table[name]))
    expand = [[0, 0] for _ in range(256)]
    for code, (a, b) in pairs:
        expand[code] = [a, b]

    def depth(c):  # second halves a code's expansion leaves pending at most
        a, b = expand[c]
        return 0 if not a else max(depth(a) + 1, depth(b))
    pair_depth = max(depth(c) for c in range(256)) + 1

    def rows(items, per):
        return '\n'.join(', '.join(items[i:i + per]) + ',' for i in range(0, len(items), per))

    text = ['// Generated by tools/constants/generate.py from the toolchain\'s headers: do not edit.',
            '// %d names, %d bytes of names and values.' % (count, len(blob)),
            'constexpr int kConstantCount = %d;' % count,
            'constexpr int kConstantBlock = %d;' % BLOCK,
            'constexpr int kConstantPairDepth = %d;  // nesting of the pair codes, and one' % pair_depth,
            'static const unsigned char kConstantData[%d] = {' % len(blob),
            rows([str(b) for b in blob], 40),
            '};',
            'static const unsigned kConstantBlockStart[%d] = {' % len(starts),
            rows([str(s) for s in starts], 16),
            '};',
            '// The two bytes each pair code stands for (0, 0: a character of its own).',
            'static const unsigned char kConstantPairs[256][2] = {',
            rows(['{%d, %d}' % tuple(e) for e in expand], 8),
            '};',
            '']
    tmp = output + '.tmp'
    with open(tmp, 'w') as f:
        f.write('\n'.join(text))
    os.replace(tmp, output)
    return count, len(blob)


def main():
    if len(sys.argv) not in (4, 5):
        fail('usage: generate.py COMPILER HEADERS OUTPUT [DEPFILE]')
    compiler, headers, output = sys.argv[1], os.path.abspath(sys.argv[2]), sys.argv[3]
    candidates = {name for name in macro_candidates(compiler, headers) | enumerators(compiler, headers)}
    with tempfile.TemporaryDirectory() as workdir:
        integers = survivors(compiler, headers, workdir, candidates,
                             lambda i, name: 'constexpr TrakxValue trakx_c%d = TrakxInt(%s);' % (i, name))
        rest = candidates - set(integers)
        handles = survivors(compiler, headers, workdir, rest,
                            lambda i, name: 'static_assert(sizeof(TrakxIsPointer(%s)) && '
                                            '__builtin_constant_p((ULONG_PTR)(%s)), "");' % (name, name))
        table = values_of(compiler, headers, workdir, integers, handles)
    count, blob = emit(table, output)
    if len(sys.argv) == 5:
        deps = run([compiler, '-std=c++17', '-M', '-MT', output, '-x', 'c++', headers])
        if deps.returncode:
            fail('the compiler did not list the headers')
        with open(sys.argv[4], 'w') as f:
            f.write(deps.stdout)
    handles = sum(1 for bits, kind in table.values() if kind == 2)
    print('constants: %d names (%d handles), %d bytes of names and values' % (count, handles, blob))


if __name__ == '__main__':
    main()
