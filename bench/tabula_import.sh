#!/bin/sh
# Importing N subscribers (default 1,000,000) with `tabula import` against
# SQLite's `.import` of the same CSV into a table with the same columns and
# indexes: wall time and peak memory of each, and their ratio.
#
#   bench/tabula_import.sh PATH/TO/tabula [ROWS]
#
# Use a Release build of the tool (no sanitizers). Needs python3, sqlite3
# and GNU time (/usr/bin/time); the work directory is removed at the end.
set -eu
TABULA=${1:?usage: bench/tabula_import.sh PATH/TO/tabula [ROWS]}
ROWS=${2:-1000000}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

python3 - "$WORK/subscribers.csv" "$ROWS" <<'PY'
import random, sys
random.seed(7)
first = ["Иван", "Пётр", "Анна", "Мария", "Сергей", "Ольга", "Дмитрий", "Елена"]
last = ["Иванов", "Петров", "Сидоров", "Кузнецов", "Смирнов", "Попов", "Волков", "Зайцев"]
with open(sys.argv[1], "w", encoding="utf-8", newline="") as f:
    f.write("Numtel,Fio,Kodul,Dom,Korp\r\n")
    for i in range(int(sys.argv[2])):
        fio = f"{random.choice(last)} {random.choice(first)} {i % 997}"
        f.write(f"{200000 + i:06d}{i % 100:02d},{fio},{random.randint(1, 2500)},{random.randint(1, 180)},{random.choice(['', '1', '2', 'А'])}\r\n")
PY

cat > "$WORK/base2.schema" <<'SCHEMA'
language 0x419
field Numtel string 12 required
field Fio string 60
field Kodul int32
field Dom string 8
field Korp string 4
primary Numtel
index ByFio Fio,Numtel case-insensitive compression both
index ByAddress Kodul,Dom,Korp compression trailing
SCHEMA

"$TABULA" create "$WORK/base2.schema" "$WORK/base2.DAT" > /dev/null

measure() {  # label command...: prints "label seconds peak-KB"
  label=$1; shift
  /usr/bin/time -f "%e %M" -o "$WORK/time.txt" "$@" > /dev/null 2> "$WORK/err.txt" || { cat "$WORK/err.txt"; exit 1; }
  set -- $(cat "$WORK/time.txt")
  printf '%-22s %8s s %10s KB peak\n' "$label" "$1" "$2"
  echo "$1 $2" > "$WORK/$label.result"
}

measure tabula "$TABULA" import --quiet "$WORK/base2.DAT" "$WORK/subscribers.csv"
"$TABULA" check "$WORK/base2.DAT" > /dev/null || { echo "check failed after import"; exit 1; }

cat > "$WORK/sqlite.sql" <<SQL
CREATE TABLE base2 (Numtel TEXT NOT NULL, Fio TEXT, Kodul INTEGER, Dom TEXT, Korp TEXT);
CREATE UNIQUE INDEX base2_primary ON base2 (Numtel);
CREATE INDEX base2_ByFio ON base2 (Fio COLLATE NOCASE, Numtel);
CREATE INDEX base2_ByAddress ON base2 (Kodul, Dom, Korp);
BEGIN;
.mode csv
.import --skip 1 $WORK/subscribers.csv base2
COMMIT;
SQL
measure sqlite3-import sqlite3 "$WORK/base2.db" ".read $WORK/sqlite.sql"

echo "rows: $ROWS"
echo "tabula files: $(du -k "$WORK"/base2.DAT "$WORK"/base2.IDX | awk '{s+=$1} END {print s}') KB; sqlite file: $(du -k "$WORK/base2.db" | cut -f1) KB"
python3 - "$WORK/tabula.result" "$WORK/sqlite3-import.result" <<'PY'
import sys
t = [float(x) for x in open(sys.argv[1]).read().split()]
s = [float(x) for x in open(sys.argv[2]).read().split()]
print(f"time ratio tabula/sqlite: {t[0] / max(s[0], 0.01):.2f}; peak memory ratio: {t[1] / max(s[1], 1):.2f}")
PY
