"""The measures of scripts/bench, one module per measured area, and its report."""
