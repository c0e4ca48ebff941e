# What keeps an add-on from running on the ARMv6 processor of a Pi Zero or
# Pi 1: one line per problem, none when there is none. Sourced by armv6.sh
# and tools/qel-prebuild.
armv6_problems() {
  local file="$1" tools=arm-linux-gnueabihf attributes
  attributes="$("$tools-readelf" -A "$file")"
  if ! grep -qE 'Tag_CPU_arch: v6(KZ|K)?$' <<<"$attributes" || grep -q 'Thumb-2' <<<"$attributes"; then
    echo "code that an ARMv6 processor cannot run: $(grep -E 'Tag_CPU_arch:|THUMB' <<<"$attributes" | tr -s ' \n' ' ')"
  fi
  grep -q 'Tag_ABI_VFP_args: VFP registers' <<<"$attributes" || echo "not hard float"
  if "$tools-readelf" -d "$file" | grep -q 'NEEDED.*libatomic' || "$tools-nm" -D -u "$file" | grep -q ' __atomic_'; then
    echo "needs libatomic"
  fi
}
