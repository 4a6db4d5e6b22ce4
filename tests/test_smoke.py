import tarnlet.sallowby.combiner as combiner


def test_combine_adds_flows():
    assert combiner.combine([1.0] * 56, [1.0] * 56)[37] == 2.0
