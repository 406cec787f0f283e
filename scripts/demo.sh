#!/bin/bash
# Runs the demo in a sandbox folder that stands in for the computer, so nothing
# outside it is touched. Usage: scripts/demo.sh <build folder>
set -euo pipefail
build=${1:-build/debug}
source_dir=$(cd "$(dirname "$0")/.." && pwd)
# A private folder of its own each run (never a fixed name in the shared /tmp, where another
# user could have planted links first), unless KESTRA_DEMO_ROOT names one.
sandbox=${KESTRA_DEMO_ROOT:-$(mktemp -d "${TMPDIR:-/tmp}/kestra-demo-XXXXXX")}
mkdir -p "$sandbox/home"
export KESTRA_SYSTEM_ROOT="$sandbox" HOME="$sandbox/home"
export XDG_CONFIG_HOME="$HOME/.config" XDG_DATA_HOME="$HOME/.local/share" XDG_CACHE_HOME="$HOME/.cache" XDG_STATE_HOME="$HOME/.local/state"
echo "Demo sandbox: $sandbox"
"$build/apps/KestraDemo.app/Contents/MacOS/KestraDemo"
agent="$build/apps/KestraClient.app/Contents/MacOS/KestraClient"
kestra="$build/bin/kestra"
if [ -x "$agent" ] && [ -x "$kestra" ] && command -v dbus-daemon >/dev/null; then
  echo
  echo "Starting a demo fleet of three agents, each in a sandbox of its own..."
  pids=()
  feed=""
  pk=""
  cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; wait 2>/dev/null || true
    if [ -n "$feed" ]; then rm -rf "$feed"; fi
    if [ -n "$pk" ]; then rm -rf "$pk"; fi
  }
  trap cleanup EXIT
  trap 'exit 130' INT TERM
  # A software-update feed of the fleet's own on loopback, so no agent calls the maker's server:
  # the update tool's archive with its manifest, signed with the development key the agents of this build trust.
  tool_info="$build/apps/Zendrel Nuvell.app/Contents/Info.plist"
  tool_version=$(sed -n '/CFBundleVersion/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' "$tool_info" 2>/dev/null || true)
  feed=$(mktemp -d) && mkdir -p "$feed/www/rss/appcasts" \
    && (cd "$build/apps" && zip -qry "$feed/www/nuvell.zip" "Zendrel Nuvell.app") \
    && "$build/bin/kestra-sign-update" sign "$source_dir/tools/updatesign/development.seed" "$feed/www/nuvell.zip" \
         --bundle com.zendrel.Nuvell --version "$tool_version" --days 1 \
    && printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict><key>alternateURL</key><string>/nuvell.zip</string></dict></plist>\n' \
         > "$feed/www/rss/appcasts/com.zendrel.Nuvell.xml" || echo "No local update feed (zip and the signing tool are needed)."
  feed_url=""
  if [ -s "$feed/www/nuvell.zip.manifest" ] && [ -x "$build/bin/kestra-demo-feed" ]; then
    "$build/bin/kestra-demo-feed" "$feed/www" > "$feed/feed.log" 2>&1 &
    pids+=("$!")
    for _ in $(seq 100); do grep -q '^Serving on ' "$feed/feed.log" && break; sleep 0.1; done
    feed_url=$(sed -n 's/^Serving on //p' "$feed/feed.log")
    echo "Update feed:  $feed_url (the agents' updateServerURL)"
    trusted=$(sed -n '/ZDUpdatePublicKey/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' "$build/apps/KestraClient.app/Contents/Info.plist")
    [ "$("$build/bin/kestra-sign-update" key "$source_dir/tools/updatesign/development.seed")" = "$trusted" ] \
      || echo "  (these agents trust another update key: they refuse the demo's development-signed archive)"
  fi
  # Package updates: a PackageKit of the demo's own, on a system bus of its own, sees a package
  # repository made here and a copy of the package database in which "Kestra Demo Editor" 1 is
  # installed, so edit-suite-3 lists its version 2. The computer's packages are never touched.
  pk_bus=""
  if [ "$(id -u)" -eq 0 ] && [ -x /usr/libexec/packagekitd ] && [ -x /usr/lib/polkit-1/polkitd ] \
     && command -v dpkg-deb dpkg-scanpackages apt-get >/dev/null; then
    # polkitd runs as its own user: it reaches the bus through this folder.
    pk=$(mktemp -d) && chmod 711 "$pk"
    mkdir -p "$pk/repo" "$pk/deb/DEBIAN" "$pk/deb/usr/share/kestra-demo-editor" "$pk/apt/lists/partial" \
      "$pk/apt/cache/archives/partial" "$pk/apt/sources.list.d" "$pk/apt/preferences.d" "$pk/apt/apt.conf.d"
    printf 'Package: kestra-demo-editor\nVersion: 2\nArchitecture: all\nMaintainer: Kestra demo <root@localhost>\nDescription: Kestra demo editor\n Version 2: faster previews.\n' \
      > "$pk/deb/DEBIAN/control"
    head -c 300000 /dev/urandom > "$pk/deb/usr/share/kestra-demo-editor/data"
    cp /var/lib/dpkg/status "$pk/status"
    printf '\nPackage: kestra-demo-editor\nStatus: install ok installed\nMaintainer: Kestra demo <root@localhost>\nArchitecture: all\nVersion: 1\nDescription: Kestra demo editor\n' >> "$pk/status"
    echo "deb [trusted=yes] file:$pk/repo ./" > "$pk/apt/sources.list"
    printf 'Dir::Etc::sourcelist "%s/apt/sources.list";\nDir::Etc::sourceparts "%s/apt/sources.list.d";\nDir::Etc::preferencesparts "%s/apt/preferences.d";\nDir::Etc::parts "%s/apt/apt.conf.d";\nDir::State::Lists "%s/apt/lists";\nDir::State::status "%s/status";\nDir::State::extended_states "%s/apt/extended_states";\nDir::Cache "%s/apt/cache";\nAPT::Sandbox::User "root";\n' \
      "$pk" "$pk" "$pk" "$pk" "$pk" "$pk" "$pk" "$pk" > "$pk/apt.conf"
    printf '<busconfig><type>system</type><listen>unix:path=%s/bus</listen><auth>EXTERNAL</auth><policy context="default"><allow user="*"/><allow own="*"/><allow send_type="method_call"/><allow send_type="signal"/><allow send_type="method_return"/><allow send_type="error"/><allow receive_type="method_call"/><allow receive_type="signal"/><allow receive_type="method_return"/><allow receive_type="error"/></policy></busconfig>\n' \
      "$pk" > "$pk/bus.conf"
    if dpkg-deb --root-owner-group -Zgzip --build "$pk/deb" "$pk/repo/kestra-demo-editor_2_all.deb" >/dev/null \
       && (cd "$pk/repo" && dpkg-scanpackages . /dev/null > Packages 2>/dev/null) \
       && APT_CONFIG="$pk/apt.conf" apt-get update -qq >/dev/null 2>&1; then
      dbus-daemon --config-file="$pk/bus.conf" --nofork > /dev/null 2>&1 &
      pids+=("$!")
      for _ in $(seq 50); do [ -S "$pk/bus" ] && break; sleep 0.1; done
      DBUS_SYSTEM_BUS_ADDRESS="unix:path=$pk/bus" /usr/lib/polkit-1/polkitd --no-debug > "$pk/polkit.log" 2>&1 &
      pids+=("$!")
      DBUS_SYSTEM_BUS_ADDRESS="unix:path=$pk/bus" APT_CONFIG="$pk/apt.conf" /usr/libexec/packagekitd --keep-environment \
        --disable-timer > "$pk/packagekit.log" 2>&1 &
      pids+=("$!")
      pk_bus="unix:path=$pk/bus"
    fi
  fi
  # Agents serve enrolled consoles only: this console is paired with each computer
  # first, as root would on a real one (one token, taken once by each computer).
  # edit-suite-3 is paired through its pairing window below instead.
  echo "$ kestra enroll-token; then as root on edit-suite-1 and -2: KestraClient -enroll TOKEN"
  token=$("$kestra" enroll-token 2>/dev/null || true)
  for i in 1 2 3; do
    host="$sandbox/fleet/edit-suite-$i"; port=$((47100 + i))
    mkdir -p "$host/etc" "$host/opt" "$host/home/.config"
    echo "edit-suite-$i" > "$host/etc/hostname"
    [ "$i" = 3 ] || KESTRA_SYSTEM_ROOT="$host" "$agent" -enroll "$token" | sed 's/^/  /' \
      || echo "  (enrolment needs root: without it the agents serve this console nothing but ping)"
    # The maker's tools (stand-ins), so each agent reports its tool suite; edit-suite-3 lacks
    # the update tool, which its agent fetches from the feed (on every run).
    rm -rf "$host/opt/Zendrel"
    for app in "$build"/apps/*.app; do
      [ -f "$app/Contents/ZDUpdates.plist" ] && { [ "$i" != 3 ] || [ "$app" != "$build/apps/Zendrel Nuvell.app" ]; } \
        && cp -a "$app" "$host/opt/"
    done
    # What the update tool offers: Quellar 1.6 (the stand-in's catalogue).
    nuvell="$host/var/lib/standins/Nuvell"
    mkdir -p "$nuvell" && cp -a "$build/apps/Quellar.app" "$nuvell/"
    sed -i -e 's|<string>150</string>|<string>160</string>|' -e 's|<string>1.5.0</string>|<string>1.6.0</string>|' "$nuvell/Quellar.app/Contents/Info.plist"
    cat > "$nuvell/catalog.plist" <<X
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>updates</key><array><dict><key>title</key><string>Quellar 1.6</string><key>type</key><string>app</string>
<key>bundleid</key><string>com.zendrel.Quellar</string><key>version</key><string>160</string><key>size</key><string>2 MB</string>
<key>source</key><string>$nuvell/Quellar.app</string></dict></array></dict></plist>
X
    update_setting=""
    [ -z "$feed_url" ] || update_setting="<key>updateServerURL</key><string>$feed_url</string>"
    cat > "$host/home/.config/com.zendrel.KestraClient.plist" <<X
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>customPortSet</key><integer>1</integer><key>customPort</key><integer>$port</integer><key>disableBonjour</key><integer>1</integer>$update_setting</dict></plist>
X
    # edit-suite-3 has the demo's PackageKit and an application the catalogue knows as a package.
    system_bus=()
    if [ "$i" = 3 ] && [ -n "$pk_bus" ]; then
      system_bus=(DBUS_SYSTEM_BUS_ADDRESS="$pk_bus")
      mkdir -p "$host/etc/xdg/kestra/catalogue.d"
      echo '{"applications": [{"id": "com.kestra.demo.Editor", "name": "Kestra Demo Editor", "icon": "kestra", "debianPackages": ["kestra-demo-editor"]}]}' \
        > "$host/etc/xdg/kestra/catalogue.d/50-demo.json"
    fi
    # A session bus each: an agent tells every other agent on its bus to quit.
    bus=$(dbus-daemon --session --fork --print-address=1 --print-pid=1)
    pids+=("$(sed -n 2p <<<"$bus")")
    env KESTRA_SYSTEM_ROOT="$host" HOME="$host/home" XDG_CONFIG_HOME="$host/home/.config" \
      XDG_DATA_HOME="$host/home/.local/share" XDG_CACHE_HOME="$host/home/.cache" XDG_STATE_HOME="$host/home/.local/state" \
      DBUS_SESSION_BUS_ADDRESS="$(sed -n 1p <<<"$bus")" "${system_bus[@]}" "$agent" > "$host/agent.out" 2>&1 &
    pids+=("$!")
  done
  for i in 1 2 3; do
    out="$sandbox/fleet/edit-suite-$i/agent.out"
    for _ in $(seq 100); do grep -q '^Listening on' "$out" && break; sleep 0.1; done
    echo "edit-suite-$i: $(grep -E '^Listening on ' "$out" | tail -n 1 || tail -n 1 "$out")"
  done
  # Root's agents log in the computer's log folder, a user's in the user's state folder.
  logs="home/.local/state/log/Zendrel"
  [ "$(id -u)" -ne 0 ] || logs="var/log/Zendrel"
  echo "Agent logs:   $sandbox/fleet/edit-suite-*/$logs/KestraClient.1.log"
  echo
  # A second run in the same KESTRA_DEMO_ROOT finds the entries of the first in its console settings.
  for i in 1 2 3; do "$kestra" remove "edit-suite-$i" >/dev/null 2>&1 || true; done
  for i in 1 2 3; do "$kestra" add "edit-suite-$i" 127.0.0.1 $((47100 + i)) --no-browse; done
  echo
  # Root opens edit-suite-3's pairing window; its y/N prompt is answered through stdin here
  # (at a real computer root answers only when the code matches the console's).
  echo "$ sudo KestraClient -pair 5   (on edit-suite-3)   and   $ kestra pair edit-suite-3"
  host3="$sandbox/fleet/edit-suite-3"
  echo y | KESTRA_SYSTEM_ROOT="$host3" "$agent" -pair 5 > "$host3/pair.out" 2>&1 &
  pair_pid=$!
  for _ in $(seq 100); do grep -q 'Pairing window open' "$host3/pair.out" && break; kill -0 "$pair_pid" 2>/dev/null || break; sleep 0.1; done
  "$kestra" pair edit-suite-3 --no-browse || echo "  (the pairing window needs root: edit-suite-3 serves this console nothing but ping)"
  wait "$pair_pid" 2>/dev/null || true
  grep -E 'Pairing code|Enrolled|needs root' "$host3/pair.out" | sed 's/^/  edit-suite-3 root: /' || true
  echo
  echo "$ kestra list"
  "$kestra" list --no-browse
  echo
  echo "$ kestra call networkClientSettings"
  "$kestra" call networkClientSettings --no-browse || true
  echo
  echo "$ kestra tasks --hosts edit-suite-1"
  "$kestra" tasks --no-browse --hosts edit-suite-1 | head -n 12 || true
  echo
  echo "$ kestra prefs backup demo && kestra prefs list && kestra paths list --hosts edit-suite-1"
  "$kestra" prefs backup demo --no-browse >/dev/null && "$kestra" prefs list --no-browse || true
  "$kestra" paths list --no-browse --hosts edit-suite-1 | head -n 12 || true
  echo
  echo "$ kestra plugins && kestra diff --working edit-suite-1 --failing edit-suite-2,edit-suite-3"
  mkdir -p "$sandbox/fleet/edit-suite-1/usr/lib/lv2/Echo.lv2"
  "$kestra" plugins --no-browse | head -n 12 || true
  "$kestra" diff --no-browse --working edit-suite-1 --failing edit-suite-2,edit-suite-3 | head -n 12 || true
  echo
  echo "$ kestra schedules add Quellar succeed at 0,3,,1, && kestra schedules && kestra render   (a job queued on edit-suite-2)"
  "$kestra" schedules add Quellar succeed at 0,3,,1, --no-browse >/dev/null && "$kestra" schedules --no-browse | head -n 8 || true
  cp -a "$build/apps/Batch Monitor.app" "$sandbox/fleet/edit-suite-2/opt/" && KESTRA_SYSTEM_ROOT="$sandbox/fleet/edit-suite-2" \
    "$sandbox/fleet/edit-suite-2/opt/Batch Monitor.app/Contents/MacOS/Batch Monitor" -submit "This Computer" Promo "Promo H.264" >/dev/null \
    && "$kestra" render --no-browse || true
  echo
  echo "$ kestra apps open Color && kestra apps && kestra caches font whatis   (Color installed on edit-suite-1)"
  cp -a "$build/apps/Color.app" "$sandbox/fleet/edit-suite-1/opt/" && "$kestra" apps open Color --no-browse >/dev/null || true
  "$kestra" apps --no-browse | grep -A3 -E '^(APPLICATION|Color) ' || true
  "$kestra" caches font whatis --no-browse --yes && "$kestra" apps forcequit Color --no-browse --yes >/dev/null || true
  echo
  echo "$ kestra apps | grep -A3 Blender   (Blender laid out on edit-suite-1 as its package lays it out)"
  host1="$sandbox/fleet/edit-suite-1"
  mkdir -p "$host1/usr/share/applications" "$host1/usr/bin"
  printf '[Desktop Entry]\nType=Application\nName=Blender\nExec=blender %%f\nIcon=blender\n' > "$host1/usr/share/applications/blender.desktop"
  printf '#!/bin/sh\necho "Blender 4.0.2"\n' > "$host1/usr/bin/blender" && chmod 755 "$host1/usr/bin/blender"
  "$kestra" apps --no-browse | grep -A3 -E '^Blender ' || true
  echo
  echo "$ kestra help pair"
  "$kestra" help pair || true
  echo
  echo "$ kestra crashlogs   (after a program crashed on edit-suite-2)"
  ( KESTRA_SYSTEM_ROOT="$sandbox/fleet/edit-suite-2" HOME="$sandbox/fleet/edit-suite-2/home" XDG_STATE_HOME="$sandbox/fleet/edit-suite-2/home/.local/state" "$build/tools/standins/Motion"; : ) 2>/dev/null || true
  "$kestra" crashlogs --no-browse | head -n 12 || true
  echo
  if [ -n "$feed_url" ]; then
    echo "$ kestra updates && kestra updates install com.zendrel.Quellar   (edit-suite-3 first fetches the update tool from the local feed)"
    "$kestra" updates --no-browse --wait 30 || true
    sed -n 's/^GET /  feed served /p' "$feed/feed.log"
    "$kestra" updates install com.zendrel.Quellar --no-browse --wait 30 || true
    echo
  fi
  if [ -n "$pk_bus" ]; then
    echo "$ kestra updates install com.kestra.demo.Editor   (edit-suite-3's package, through PackageKit: only with --admin)"
    "$kestra" updates install com.kestra.demo.Editor --no-browse --hosts edit-suite-3 --wait 30 2>&1 || true
    echo
  fi
  echo "$ kestra list   (TRUST: each computer enrolled this console at the start)"
  "$kestra" list --no-browse --hosts edit-suite-3 || true
  # The console window on the same fleet (the three manual entries above).
  admin="$build/apps/Kestra Admin.app/Contents/MacOS/KestraAdmin"
  if [ -x "$admin" ]; then
    echo
    if [ -n "${DISPLAY:-}" ] && { ! command -v xset >/dev/null || xset q >/dev/null 2>&1; }; then
      echo "Opening KestraAdmin on the demo fleet. Quit it with Ctrl+Q (or close its window); the fleet stops then."
      "$admin" --no-browse || true
    else
      echo "No display here: run 'make demo' from a desktop session to open the console on this fleet,"
      echo "or open it under Xvfb (the fleet's agents run only while this script does):"
      echo "  HOME=$sandbox/home XDG_CONFIG_HOME=$sandbox/home/.config xvfb-run -a '$admin' --no-browse"
    fi
  fi
  cleanup; trap - EXIT
  echo "Fleet stopped."
fi
echo
echo "Everything above lives under $sandbox (remove it with: rm -rf $sandbox)."
