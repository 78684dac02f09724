#!/bin/sh
# Runs the programs end to end in a sandbox root inside the build tree: the off switch with the
# build's own key, then the launch chain with a stand-in update program.
# Usage: sandbox-demo.sh BIN_DIR ROOT KEY_FILE
set -eu
bin=$1 root=$2 key_file=$3

mkdir -p "$root/vornek/quandrel/dist"
cp "$bin/Velkaran" "$root/Velkaran"
printf '0' >"$root/vornek/swich_Velkaran.txt"
echo "== the mode file $root/vornek/swich_Velkaran.txt holds \"0\" before the switch"

echo "== offswitch, fed the build's key from $key_file"
status=0
"$bin/offswitch" <"$key_file" || status=$?
echo "== exit status $status; the mode file $root/vornek/swich_Velkaran.txt now holds:"
od -An -c "$root/vornek/swich_Velkaran.txt"

# A stand-in: the real update program lies outside this project.
cat >"$root/vornek/quandrel/dist/quandrel" <<'STANDIN'
#!/bin/sh
echo "stand-in update program ran (arguments: $#)"
STANDIN
chmod 755 "$root/vornek/quandrel/dist/quandrel"

echo "== runVelkaran -> $root/Velkaran 580 -> stand-in update program"
status=0
"$bin/runVelkaran" || status=$?
echo "== runVelkaran exit status $status"
