#!/bin/sh
# Packages for the Windows side's msi.dll tests, made on Linux with wixl, and
# the values an independent reader (msiinfo) finds in them. Without the tools
# the folder holds "missing" (the tests skip), or under CI this fails.
set -eu
dir="$1"
. "$(cd "$(dirname "$0")" && pwd)/fresh_folder.sh"
fresh_folder "$dir" wixl msiinfo

package() { # file name version manufacturer
  work="$dir/$1.src"
  mkdir -p "$work"
  cat > "$work/package.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
<Product Id="6f0c1c4e-9999-4a6b-9d3b-2d5c1f3e4a11" Name="$2" Version="$3" Manufacturer="$4"
 UpgradeCode="6f0c1c4e-0000-4a6b-9d3b-2d5c1f3e4a11" Language="1033" Codepage="1252">
<Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
<Directory Id="TARGETDIR" Name="SourceDir"/>
<Feature Id="Main" Level="1"/>
</Product></Wix>
WXS
  (cd "$work" && wixl -o "$dir/$1" package.wxs)
  msiinfo export "$dir/$1" Property > "$dir/$1.properties"
}

# A non-ASCII file name and manufacturer go through the wide calls.
package "Widget é.msi" "Widget Studio" "4.10.0017" "ACME &amp; Söhne"
long=$(awk 'BEGIN { for (i = 0; i < 1000; i++) printf "%c", 97 + i % 26 }')
package "long.msi" "$long" "1.0" "M"
printf 'not msi' > "$dir/text.msi"
