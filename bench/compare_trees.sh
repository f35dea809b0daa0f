#!/usr/bin/env bash
# compare_trees.sh TREE_A TREE_B [ROUNDS] [BENCHES...]
# Builds the C++ benchmarks of two source trees (Release, in TREE/build/compare-bench, on cores
# 0-5), runs them in alternated rounds (A B, B A, ...) pinned to core 7, and prints for every
# timed figure A's best, B's best, the ratio of the bests B/A and the median of the per-round
# ratios B/A (> 1: B slower); the watched figures (one-component emission tables, geometric
# occupancies, collect_hsmm) first. The untimed lines (totals, checksums, cell counts) are
# compared between the trees. VERBOSE=1 prints the watched figures' rounds.
# BENCHES defaults to emission_bench geometric_bench estimation_bench.
set -euo pipefail
A=$(realpath "$1"); B=$(realpath "$2"); ROUNDS=${3:-9}; shift $(( $# >= 3 ? 3 : $# ))
BENCHES=("$@"); [ ${#BENCHES[@]} -eq 0 ] && BENCHES=(emission_bench geometric_bench estimation_bench)
for tree in "$A" "$B"; do
    if [ ! -f "$tree/build/compare-bench/build.ninja" ]; then
        taskset -c 0-5 cmake -S "$tree" -B "$tree/build/compare-bench" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DTARVEK_BUILD_BENCH=ON -DTARVEK_BUILD_MODULE=OFF -DTARVEK_BUILD_TESTS=OFF >/dev/null
    fi
    taskset -c 0-5 cmake --build "$tree/build/compare-bench" -j5 >/dev/null
done
OUT=$(mktemp -d /tmp/compare-bench.XXXXXX)
for ((r = 0; r < ROUNDS; r++)); do
    for bench in "${BENCHES[@]}"; do
        if ((r % 2 == 0)); then order="A B"; else order="B A"; fi
        for side in $order; do
            tree=$A; [ "$side" = B ] && tree=$B
            taskset -c 7 "$tree/build/compare-bench/$bench" >"$OUT/$bench.$side.$r"
        done
    done
    echo "round $((r + 1))/$ROUNDS done" >&2
done
python3 - "$OUT" "$ROUNDS" "${BENCHES[@]}" <<'EOF'
import os, re, statistics, sys
out, rounds, benches = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
timed = re.compile(r'([0-9.]+) (ms|ns/op)\b')
def figures(path):
    section, figs, rest = '', {}, []
    for line in open(path):
        line = line.rstrip('\n')
        if re.match(r'(emission tables|rows of|default options|estimate_hsmm:|mixture scoring)', line):
            section = line.split(':')[0]
        if line.startswith(('f32:', 'f64:')) and 'forward+backward' in line:  # geometric_bench
            p = line[:3]
            for name in ('forward+backward', 'viterbi', 'state+transition occupancies'):
                m = re.search(re.escape(name) + r' ([0-9.]+) ms', line)
                figs[f'{p} {name}'] = float(m.group(1))
            rest.append(re.sub(r'[0-9.]+ ms \([0-9.]+ Mframes/s\)', '', line))
            continue
        if 'Gaussians/s' in line and 'one-frame loop' in line:  # mixture_bench: rates as times
            p = line[:3]
            for name in ('one-frame loop', 'batch'):
                r = re.search(re.escape(name) + r':\s+([0-9.]+) M Gaussians/s', line)
                figs[f'{section} | {p} {name} (1/rate)'] = 1.0 / float(r.group(1))
            continue
        m = timed.search(line)
        if m:
            label = re.sub(r'\s+', ' ', line[:m.start()]).strip()
            states = re.match(r'(f32|f64) \d+ states', label)
            if states: context = states.group(0)
            elif label[4:].startswith('(') and 'context' in locals(): label = context + ' ' + label[4:]
            figs[f'{section} | {label}'.strip(' |')] = float(m.group(1))
            tot = re.search(r'\(total [^)]*\)', line)
            if tot: rest.append(label + tot.group(0))
        elif 'division limit' in line or 'divisions/s' in line or '% of the division' in line:
            continue
        elif 'checksum' in line or 'computed cells' in line:
            rest.append(re.sub(r'x[0-9.]+ the per-cell loop', '', line))
    return figs, rest
watched = [('emission 1x1 F32 (model)', 'emission_bench', 'emission tables, every cell, 1 stream x 1 component | f32 table (model)'),
       ('emission 1x1 F32 (prepared)', 'emission_bench', 'emission tables, every cell, 1 stream x 1 component | f32 table (prepared)'),
       ('emission 1x1 F64 (model)', 'emission_bench', 'emission tables, every cell, 1 stream x 1 component | f64 table (model)'),
       ('emission 1x1 F64 (prepared)', 'emission_bench', 'emission tables, every cell, 1 stream x 1 component | f64 table (prepared)'),
       ('occupancies F32', 'geometric_bench', 'f32 state+transition occupancies'),
       ('occupancies F64', 'geometric_bench', 'f64 state+transition occupancies'),
       ('collect_hsmm F32', 'estimation_bench', 'estimate_hsmm | f32 collect_hsmm'),
       ('collect_hsmm F64', 'estimation_bench', 'estimate_hsmm | f64 collect_hsmm')]
rows, differs = {}, []
for bench in benches:
    runs = {s: [figures(f'{out}/{bench}.{s}.{r}') for r in range(rounds)] for s in 'AB'}
    for key in runs['A'][0][0]:
        a = [f[key] for f, _ in runs['A']]; b = [f[key] for f, _ in runs['B'] if key in f]
        if len(b) != rounds: continue
        rows[(bench, key)] = (min(a), min(b), min(b) / min(a), statistics.median(y / x for x, y in zip(a, b)))
        if os.environ.get('VERBOSE') and any(key == k for _, bn, k in watched if bn == bench):
            print(f'{key}: A {a}\n{" " * len(key)}  B {b}')
    if runs['A'][0][1] != runs['B'][0][1]:
        differs.append((bench, runs['A'][0][1], runs['B'][0][1]))
def show(name, v): print(f'{name:<96} {v[0]:>9.3f} {v[1]:>9.3f}   best {v[2]:6.3f}   median {v[3]:6.3f}')
print(f'{rounds} alternated rounds on core 7; ratios B/A (> 1: B slower)')
print(f'{"figure":<96} {"A best":>9} {"B best":>9}')
print('-- watched figures')
for name, bench, key in watched:
    if (bench, key) in rows: show(name, rows[(bench, key)])
print('-- every figure')
for (bench, key), v in rows.items(): show(f'{bench}: {key}'[:96], v)
for bench, a, b in differs:
    print(f'!! {bench}: untimed output differs between the trees:'); print('  A:', a); print('  B:', b)
if not differs: print('untimed outputs (totals, checksums, cell counts) identical')
EOF
rm -rf "$OUT"
