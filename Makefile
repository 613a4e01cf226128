# Thin wrapper over run.sh, which does the work (and all set-up) itself.
.PHONY: test demo bench dev setup asan
test demo bench dev setup:
	bash run.sh $@
asan:
	bash scripts/asan.sh
