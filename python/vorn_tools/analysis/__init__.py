"""From feature tables to results: reading tables back, expressions and cuts on their columns, and fits."""
