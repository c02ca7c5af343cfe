"""Native numerics of vexora: unfolding, response resampling and peak models."""
