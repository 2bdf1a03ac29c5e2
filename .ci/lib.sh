# Sourced by CI's scripts. usage: how to call the script, from its second line, and exit 2.
usage() { sed -n '2s/^# \([^:]*\):.*/usage: .ci\/\1/p' "$0" >&2 && exit 2; }
# architectures: .ci/architectures' header and rows, their cells split by |, without comments.
architectures() { sed '/^#/d; /^ *$/d; s/ *| */|/g; s/ *$//' .ci/architectures; }
# arches_where CELL VALUE: the Debian names of the rows whose CELL (a name in the header) is VALUE.
arches_where() { architectures | awk -F'|' -v cell="$1" -v value="$2" 'NR == 1 { for (i = 1; i <= NF; i++) at[$i] = i } $at[cell] == value { print $1 }'; }
# row ARCH: sets a variable named by each cell of the header to ARCH's cell ('' for '-'), or fails.
row() {
	local names cells i
	IFS='|' read -ra names <<<"$(architectures | head -n1)"
	IFS='|' read -ra cells <<<"$(architectures | awk -F'|' -v arch="$1" 'NR > 1 && $1 == arch')"
	[ ${#cells[@]} -gt 0 ] || return 1
	for i in "${!names[@]}"; do [ "${cells[i]:--}" != - ] || cells[i]=; printf -v "${names[i]}" %s "${cells[i]}"; done
}
