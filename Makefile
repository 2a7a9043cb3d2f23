# The two commands of the README. Each installs what it needs first (root, or sudo).
.PHONY: run test
run:
	bash scripts/run.sh
test:
	bash scripts/test.sh
